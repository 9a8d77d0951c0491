// The CA file of esimctl_checking, the tests' build of esimctl with server
// certificate checking on: the simulated gateway puts the test CA here
// (sim/sandbox --tls DIR).
#include "https_relay.h"

const char *const tls_ca_file = "/sim/tls/ca.pem";
