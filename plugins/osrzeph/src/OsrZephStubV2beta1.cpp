#include "OsrZephStubV2beta1.h"

namespace Zeph {
namespace APIV2BETA1 {

const char* const Api::kSessionLogLine = "Set Dialog ID [%s] <%s@%s>";

bool Api::ParseModelVariant(const std::string& name, int* value) {
    google::cloud::dialogflow::v2beta1::SpeechModelVariant variant;
    if (!google::cloud::dialogflow::v2beta1::SpeechModelVariant_Parse(name, &variant))
        return false;
    *value = static_cast<int>(variant);
    return true;
}

}  // namespace APIV2BETA1
}  // namespace Zeph
