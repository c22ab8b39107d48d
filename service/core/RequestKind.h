#pragma once
// Request kinds: the number that HttpsServiceEvent carries to tell which REST
// operation a result belongs to. One number space for the whole library.

namespace RequestKind {

// Account (LoginApi).
constexpr unsigned kAccountLogin = 1;
constexpr unsigned kScodeLogin = 2;
constexpr unsigned kRegisterNow = 3;
constexpr unsigned kGetAccScode = 4;
constexpr unsigned kGetCorpList = 5;
constexpr unsigned kRefreshToken = 6;
constexpr unsigned kGuestLogin = 7;
constexpr unsigned kCorpCreate = 8;
constexpr unsigned kModifyUserProfile = 18;
constexpr unsigned kChangePhone = 19;
constexpr unsigned kModifyPassword = 21;
constexpr unsigned kWeChatUnBind = 24;
constexpr unsigned kWeChatBind = 25;

}  // namespace RequestKind
