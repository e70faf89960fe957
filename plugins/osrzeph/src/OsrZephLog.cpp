#include "OsrZephLog.h"

apt_log_source_t* ZEPH_PLUGIN = nullptr;
