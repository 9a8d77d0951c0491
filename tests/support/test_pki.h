// A small certificate authority for tests of server certificate checking.
#pragma once

#include <string>

// Writes into `dir` (which must exist) a test CA and server certificates,
// each as NAME.pem with its key NAME.key:
//   ca           the CA that the checking build trusts
//   good         issued by ca for smdp.example and 127.0.0.1, valid now
//   other-name   issued by ca for other.example only
//   expired      issued by ca for smdp.example and 127.0.0.1, expired yesterday
//   self-signed  for smdp.example and 127.0.0.1, issued by itself
// False (with a message on stderr) when OpenSSL refused a step.
bool make_test_pki(const std::string &dir);
