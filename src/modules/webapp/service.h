// The hosts of the service the program is made for, from service.json (the
// page's build reads the same file): its SIP domain, the same domain with
// the TLS port ":443", its second domain and the stream service's web host;
// ZV_SERVICE_PROVISIONING_HOST, the provisioning server, is listener.cpp's
// default. Accounts on the SIP domains are the service's own: they become
// the main account, and the provisioning answer replaces them. The build
// defines the ZV_SERVICE_* macros; CMake cache variables of the same names
// put other SIP domains in their place.
#pragma once

constexpr const char webapp_service_sip_domain[] = ZV_SERVICE_SIP_DOMAIN;
constexpr const char webapp_service_sip_domain_443[] = ZV_SERVICE_SIP_DOMAIN ":443";
constexpr const char webapp_service_second_domain[] = ZV_SERVICE_SECOND_DOMAIN;
constexpr const char webapp_service_stream_host[] = ZV_SERVICE_STREAM_HOST;
