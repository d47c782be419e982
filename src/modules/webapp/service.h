// The SIP service the program is made for: its SIP domain, the same domain
// with the TLS port ":443", and its second domain. Accounts on these domains
// are the service's own: they become the main account, and the provisioning
// answer replaces them. A build can name other hosts with the compile
// definitions ZV_SERVICE_SIP_DOMAIN and ZV_SERVICE_SECOND_DOMAIN (CMake
// cache variables of the same names).
#pragma once

#ifndef ZV_SERVICE_SIP_DOMAIN
#define ZV_SERVICE_SIP_DOMAIN "sip.zorvane.net"
#endif

#ifndef ZV_SERVICE_SECOND_DOMAIN
#define ZV_SERVICE_SECOND_DOMAIN "voip.zorvane.net"
#endif

constexpr const char webapp_service_sip_domain[] = ZV_SERVICE_SIP_DOMAIN;
constexpr const char webapp_service_sip_domain_443[] = ZV_SERVICE_SIP_DOMAIN ":443";
constexpr const char webapp_service_second_domain[] = ZV_SERVICE_SECOND_DOMAIN;
