#pragma once
// The local server's accounts: users (registered and guests), their
// corporations, the verification codes it has sent and the secrets of
// phone changes under way. In memory, guarded by one lock; every member is
// safe to call from any thread. Operations answer with the "code" the REST
// service reports (ResultCode in devserver/Routes.h), 0 on success.

#include <chrono>
#include <cstdint>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace DevServer {

// What a verification code is for ("type" of /v1/account/pauth).
namespace ScodeType {
constexpr int Register = 1;  // the phone must not be registered yet
constexpr int Login = 2;     // sign-in by code; the phone must be registered
constexpr int Password = 3;  // password change
constexpr int Phone = 4;     // phone change, for the old and the new phone
}  // namespace ScodeType

struct AccountUser {
    uint32_t id = 0;
    bool guest = false;
    std::string phone;
    std::string name;
    std::string passwordDigest;  // lower-case hex MD5 of the password
    uint64_t pictureId = 0;
    std::string avatar;
    uint32_t corpId = 0;         // the corporation the user works in, 0: none
    std::string corpName;
    std::string wechatNick;
    std::string wechatUnionId;
};

struct AccountCorp {
    uint32_t id = 0;
    std::string name;
};

class AccountBook {
public:
    static constexpr std::chrono::seconds kCodeLifetime{300};
    static constexpr std::chrono::seconds kSecretLifetime{600};

    // A fresh 6-digit code for the phone and type, replacing an earlier
    // one. Refused when the type does not fit the phone's registration.
    int IssueCode(const std::string& phone, int type, std::string* code);
    // The live code last issued for the phone (of the type; 0: any type).
    std::optional<std::string> PeekCode(const std::string& phone, int type = 0) const;

    // Registration checks the phone's registration code and stores the
    // digest; a corporation name, when given, makes the user's corporation.
    int Register(const std::string& phone, const std::string& passwordDigest, int code, const std::string& name,
                 const std::string& corpName, const std::string& wechatAccessToken, AccountUser* user);
    int LoginByPassword(const std::string& phone, const std::string& passwordDigest, AccountUser* user);
    int LoginByCode(const std::string& phone, int code, const std::string& wechatAccessToken, AccountUser* user);
    // The same GUID is the same guest; the name is updated.
    AccountUser Guest(const std::string& guid, const std::string& name);

    std::optional<AccountUser> User(uint32_t userId) const;
    int Corporations(uint32_t userId, std::vector<AccountCorp>* corps) const;
    int CreateCorporation(uint32_t userId, const std::string& name, AccountCorp* corp);
    // A picture id comes with the absolute address its picture answers at.
    struct Picture {
        uint64_t id = 0;
        std::string url;
    };
    int SetProfile(uint32_t userId, const std::string& nick, const std::optional<Picture>& picture);

    // Step 1 proves the current phone's code and yields a secret; step 2
    // presents it with the new phone's code and moves the account.
    int VerifyOldPhone(uint32_t userId, const std::string& phone, int code, std::string* secret);
    int MoveToNewPhone(uint32_t userId, const std::string& phone, int code, const std::string& secret);
    // The password arrives in clear text here; only its digest is kept.
    int SetPassword(uint32_t userId, const std::string& phone, int code, const std::string& password);

    int BindWeChat(uint32_t userId, const std::string& accessToken);
    int UnbindWeChat(uint32_t userId);

    // Lower-case hex MD5, as the client digests passwords.
    static std::string Md5Hex(const std::string& bytes);

private:
    using Clock = std::chrono::steady_clock;

    struct IssuedCode {
        std::string code;
        Clock::time_point expires;
        uint64_t serial = 0;  // issue order, for "the last one"
    };
    struct PhoneSecret {
        uint32_t userId = 0;
        std::string oldPhone;
        Clock::time_point expires;
    };

    // True and the code consumed when it matches a live issued code.
    bool TakeCodeLocked(const std::string& phone, int type, int code);
    uint32_t UserOfPhoneLocked(const std::string& phone) const;
    AccountUser* FindLocked(uint32_t userId);
    void BindWeChatLocked(AccountUser& user, const std::string& accessToken);
    uint32_t AddCorpLocked(AccountUser& owner, const std::string& name);

    mutable std::mutex m_mutex;
    uint32_t m_nextUserId = 10001;
    uint32_t m_nextCorpId = 501;
    uint64_t m_codeSerial = 0;
    std::map<uint32_t, AccountUser> m_users;
    std::map<std::string, uint32_t> m_phones;                      // registered phone -> user
    std::map<std::string, uint32_t> m_guests;                      // guid -> guest user
    std::map<uint32_t, AccountCorp> m_corps;
    std::map<uint32_t, std::vector<uint32_t>> m_memberships;       // user -> corporations
    std::map<std::pair<std::string, int>, IssuedCode> m_codes;     // (phone, type)
    std::map<std::string, PhoneSecret> m_secrets;                  // secret -> phone change
};

}  // namespace DevServer
