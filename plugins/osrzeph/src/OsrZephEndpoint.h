// Where a recognition's stream goes, and how the plugin reaches that place.
//
// Dialogflow serves each region at an endpoint of its own, LOCATION-dialogflow.googleapis.com;
// an agent in a region other than "global" is reached only there (a session path naming
// another location is refused). While "service-uri" names the global endpoint (its default),
// each recognition goes to the endpoint of its location; any other "service-uri" (a proxy, a
// private endpoint) takes every recognition.
//
// "endpoint-addresses" reaches an endpoint at another network address, as a private service
// endpoint or a local stand-in of the service needs: the connection goes to the address, and
// the endpoint's name stays the TLS server name and the calls' authority.
//
// Threads: no state; any thread.
#pragma once

#include <grpcpp/support/channel_arguments.h>

#include <map>
#include <string>

namespace Zeph {

// The global endpoint: the default "service-uri".
extern const char kGlobalServiceEndpoint[];

// A location id as the service names locations ("global", "europe-west1"): lower-case
// letters, digits and dashes, a letter first, at most 63 characters. It becomes part of a
// host name, so nothing else may pass.
bool IsLocationId(const std::string& location);

// The endpoint for a recognition in `location` (empty: global) with this "service-uri":
// LOCATION-dialogflow.googleapis.com (with the service-uri's port, if it names one) when the
// service-uri is the global endpoint and the location is a regional one; else the
// service-uri. `location` must be empty or pass IsLocationId.
std::string ServiceEndpoint(const std::string& serviceUri, const std::string& location);

// Endpoint -> the address ("host:port") it is reached at.
using EndpointAddresses = std::map<std::string, std::string>;

// Reads "ENDPOINT=ADDRESS" pairs separated by blanks; FALSE (and `addresses` unchanged) for
// a pair without "=", or with an empty side.
bool ParseEndpointAddresses(const std::string& text, EndpointAddresses& addresses);

// The gRPC target that reaches `endpoint`: its address when `addresses` names one (and then
// `arguments` gets the endpoint as the default authority), else the endpoint itself.
std::string EndpointTarget(const std::string& endpoint, const EndpointAddresses& addresses,
                           grpc::ChannelArguments& arguments);

}  // namespace Zeph
