/* Ostrin host interface: everything a plugin or the host runtime includes. */
#ifndef OSTRIN_OSTRIN_H
#define OSTRIN_OSTRIN_H

#include <ostrin/apt.h>
#include <ostrin/apt_dir_layout.h>
#include <ostrin/apt_log.h>
#include <ostrin/apt_task.h>
#include <ostrin/apt_text_stream.h>
#include <ostrin/mpf_frame.h>
#include <ostrin/mpf_stream.h>
#include <ostrin/mrcp_engine.h>
#include <ostrin/mrcp_message.h>
#include <ostrin/mrcp_wire.h>

#endif /* OSTRIN_OSTRIN_H */
