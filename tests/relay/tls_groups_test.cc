#include "tls_groups.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

std::string u16(size_t v) {
  return {static_cast<char>(v >> 8), static_cast<char>(v & 0xff)};
}
std::string with_length(size_t bytes, const std::string &body) {
  std::string length = bytes == 3 ? std::string(1, static_cast<char>(body.size() >> 16)) : "";
  if (bytes == 1) return std::string(1, static_cast<char>(body.size())) + body;
  return length + u16(body.size() & 0xffff) + body;
}
std::string groups_extension(const std::vector<uint16_t> &groups) {
  std::string list;
  for (uint16_t g : groups) list += u16(g);
  return u16(10) + with_length(2, with_length(2, list));
}
std::string key_share_extension(const std::vector<uint16_t> &groups) {
  std::string shares;
  for (uint16_t g : groups) shares += u16(g) + with_length(2, std::string(32, 'k'));
  return u16(51) + with_length(2, with_length(2, shares));
}
// A TLS record holding a ClientHello with these extensions, as a client writes it.
std::string hello(const std::string &extensions, char message = 1, char record = 22) {
  std::string body = u16(0x0303) + std::string(32, 'r') + with_length(1, std::string(32, 's')) +
                     with_length(2, u16(0x1301)) + with_length(1, std::string(1, '\0')) +
                     with_length(2, extensions);
  return std::string(1, record) + u16(0x0301) +
         with_length(2, std::string(1, message) + with_length(3, body));
}

const char *name_of(uint16_t group, void *) {
  switch (group) {
    case 0x11ec:
      return "X25519MLKEM768";
    case 29:
      return "x25519";
    case 23:
      return "secp256r1";
    case 26:
      return "brainpoolP256r1";
    default:
      return nullptr;
  }
}

TEST(TlsGroups, ReadsTheOfferAndWritesItBackWithBrainpool) {
  const std::string ms = groups_extension({0x11ec, 29, 23}) + key_share_extension({0x11ec, 29});
  struct Row {
    const char *situation;
    std::string records;
    bool marks;
    const char *list;  // null: the hello is not read
  } rows[] = {
      {"OpenSSL 3.0's hello: one key share",
       hello(groups_extension({29, 23}) + key_share_extension({29})), false,
       "x25519:secp256r1:brainpoolP256r1"},
      {"OpenSSL 3.5's hello: its two key shares marked", hello(ms), true,
       "*X25519MLKEM768:*x25519:secp256r1:brainpoolP256r1"},
      {"brainpool already offered", hello(groups_extension({23, 26})), false,
       "secp256r1:brainpoolP256r1"},
      {"a group without a name", hello(groups_extension({29, 999})), false, nullptr},
      {"no supported_groups extension", hello(key_share_extension({29})), false, nullptr},
      {"cut in the middle of an extension", hello(ms).substr(0, hello(ms).size() - 5), false,
       nullptr},
      {"more groups than it keeps", hello(groups_extension(std::vector<uint16_t>(65, 23))), false,
       nullptr},
      {"a ServerHello", hello(ms, 2), false, nullptr},
      {"not a handshake record", hello(ms, 1, 23), false, nullptr},
      {"nothing", "", false, nullptr},
  };
  for (const Row &row : rows) {
    SCOPED_TRACE(row.situation);
    OfferedGroups offered{};
    char list[kGroupListSize];
    bool ok = read_client_hello_groups(row.records, &offered) &&
              groups_with_brainpool(offered, row.marks, name_of, nullptr, list, sizeof list);
    EXPECT_EQ(ok, row.list != nullptr);
    if (ok && row.list != nullptr) {
      EXPECT_STREQ(list, row.list);
    }
  }
}

TEST(TlsGroups, AListThatDoesNotFitIsNotWritten) {
  OfferedGroups offered{};
  ASSERT_TRUE(read_client_hello_groups(hello(groups_extension({29, 23})), &offered));
  char list[12] = "untouched";
  EXPECT_FALSE(groups_with_brainpool(offered, false, name_of, nullptr, list, sizeof list));
  EXPECT_STREQ(list, "");
}

}  // namespace
