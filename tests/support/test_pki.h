// A small certificate authority for tests of server certificate checking.
#pragma once

#include <string>

// Writes into `dir` (which must exist) a test CA and server certificates,
// each as NAME.pem with its key NAME.key:
//   ca               the test CA; ca.pem, the file the checking build
//                    trusts, also holds the two CI roots below
//   good             issued by ca for smdp.example and 127.0.0.1, valid now
//   other-name       issued by ca for other.example only
//   expired          issued by ca for smdp.example and 127.0.0.1, expired yesterday
//   self-signed      for smdp.example and 127.0.0.1, issued by itself
//   rsa-self-signed  the same on an RSA key
//   ci-p256, ci-brainpool    certificate issuer roots of the eSIM ecosystem's
//                    shape, on P-256 and on brainpoolP256r1
//   tls-p256, tls-brainpool  a profile server's TLS certificate for
//                    smdp.example issued by the CI root on the same curve
// False (with a message on stderr) when OpenSSL refused a step.
bool make_test_pki(const std::string &dir);
