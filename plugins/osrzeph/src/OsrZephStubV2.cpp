#include "OsrZephStubV2.h"

namespace Zeph {
namespace APIV2 {

const char* const Api::kSessionLogLine = "Set ZEPH Session ID [%s] <%s@%s>";

bool Api::ParseModelVariant(const std::string& name, int* value) {
    google::cloud::dialogflow::v2::SpeechModelVariant variant;
    if (!google::cloud::dialogflow::v2::SpeechModelVariant_Parse(name, &variant))
        return false;
    *value = static_cast<int>(variant);
    return true;
}

}  // namespace APIV2
}  // namespace Zeph
