#include "OsrZephEndpoint.h"

#include <grpc/grpc.h>

#include <sstream>
#include <utility>

namespace Zeph {

const char kGlobalServiceEndpoint[] = "dialogflow.googleapis.com";

bool IsLocationId(const std::string& location) {
    if (location.empty() || location.size() > 63 || location[0] < 'a' || location[0] > 'z')
        return false;
    for (char c : location) {
        if (!((c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-'))
            return false;
    }
    return true;
}

std::string ServiceEndpoint(const std::string& serviceUri, const std::string& location) {
    const std::string global = kGlobalServiceEndpoint;
    const bool atGlobal = serviceUri.compare(0, global.size(), global) == 0 &&
                          (serviceUri.size() == global.size() || serviceUri[global.size()] == ':');
    if (!atGlobal || location.empty() || location == "global")
        return serviceUri;
    return location + "-" + serviceUri;
}

bool ParseEndpointAddresses(const std::string& text, EndpointAddresses& addresses) {
    EndpointAddresses parsed;
    std::istringstream in(text);
    std::string pair;
    while (in >> pair) {
        const size_t equals = pair.find('=');
        if (equals == std::string::npos || equals == 0 || equals + 1 == pair.size())
            return false;
        parsed[pair.substr(0, equals)] = pair.substr(equals + 1);
    }
    addresses = std::move(parsed);
    return true;
}

std::string EndpointTarget(const std::string& endpoint, const EndpointAddresses& addresses,
                           grpc::ChannelArguments& arguments) {
    auto found = addresses.find(endpoint);
    if (found == addresses.end())
        return endpoint;
    // TLS checks the server's certificate against the authority, and service-account
    // tokens name it as their audience: both must see the endpoint, not the address.
    arguments.SetString(GRPC_ARG_DEFAULT_AUTHORITY, endpoint);
    return found->second;
}

}  // namespace Zeph
