#include "devserver/AccountBook.h"

#include <cstdio>
#include <stdexcept>

#include <openssl/evp.h>
#include <openssl/rand.h>

#include "devserver/Routes.h"

namespace DevServer {
namespace {

uint32_t RandomNumber()
{
    uint32_t value = 0;
    if (RAND_bytes(reinterpret_cast<unsigned char*>(&value), sizeof(value)) != 1)
        throw std::runtime_error("no random bytes");
    return value;
}

std::string RandomHex(size_t bytes)
{
    static const char kHex[] = "0123456789abcdef";
    std::string text;
    text.reserve(bytes * 2);
    for (size_t i = 0; i < bytes; ++i) {
        const uint32_t b = RandomNumber() & 0xff;
        text.push_back(kHex[b >> 4]);
        text.push_back(kHex[b & 0x0f]);
    }
    return text;
}

// Codes never start with 0: the client sends them as numbers.
std::string SixDigits()
{
    char text[8];
    std::snprintf(text, sizeof(text), "%06u", 100000u + RandomNumber() % 900000u);
    return text;
}

bool KnownType(int type) { return type >= ScodeType::Register && type <= ScodeType::Phone; }

}  // namespace

std::string AccountBook::Md5Hex(const std::string& bytes)
{
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    if (EVP_Digest(bytes.data(), bytes.size(), digest, &length, EVP_md5(), nullptr) != 1)
        throw std::runtime_error("MD5 failed");
    static const char kHex[] = "0123456789abcdef";
    std::string text;
    for (unsigned int i = 0; i < length; ++i) {
        text.push_back(kHex[digest[i] >> 4]);
        text.push_back(kHex[digest[i] & 0x0f]);
    }
    return text;
}

int AccountBook::IssueCode(const std::string& phone, int type, std::string* code)
{
    if (phone.empty() || !KnownType(type))
        return ResultCode::BadRequest;
    std::lock_guard<std::mutex> lock(m_mutex);
    const bool registered = UserOfPhoneLocked(phone) != 0;
    if (type == ScodeType::Register && registered)
        return ResultCode::PhoneRegistered;
    if ((type == ScodeType::Login || type == ScodeType::Password) && !registered)
        return ResultCode::UnknownUser;
    IssuedCode issued;
    issued.code = SixDigits();
    issued.expires = Clock::now() + kCodeLifetime;
    issued.serial = ++m_codeSerial;
    m_codes[{phone, type}] = issued;
    *code = issued.code;
    return ResultCode::Ok;
}

std::optional<std::string> AccountBook::PeekCode(const std::string& phone, int type) const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    const IssuedCode* latest = nullptr;
    const auto now = Clock::now();
    for (const auto& entry : m_codes) {
        if (entry.first.first != phone || (type != 0 && entry.first.second != type) || entry.second.expires <= now)
            continue;
        if (latest == nullptr || entry.second.serial > latest->serial)
            latest = &entry.second;
    }
    if (latest == nullptr)
        return std::nullopt;
    return latest->code;
}

int AccountBook::Register(const std::string& phone, const std::string& passwordDigest, int code,
                          const std::string& name, const std::string& corpName, const std::string& wechatAccessToken,
                          AccountUser* user)
{
    if (phone.empty() || passwordDigest.empty())
        return ResultCode::BadRequest;
    std::lock_guard<std::mutex> lock(m_mutex);
    if (UserOfPhoneLocked(phone) != 0)
        return ResultCode::PhoneRegistered;
    if (!TakeCodeLocked(phone, ScodeType::Register, code))
        return ResultCode::WrongCode;
    AccountUser& created = m_users[m_nextUserId];
    created.id = m_nextUserId++;
    created.phone = phone;
    created.name = name.empty() ? phone : name;
    created.passwordDigest = passwordDigest;
    m_phones[phone] = created.id;
    if (!corpName.empty())
        AddCorpLocked(created, corpName);
    if (!wechatAccessToken.empty())
        BindWeChatLocked(created, wechatAccessToken);
    *user = created;
    return ResultCode::Ok;
}

int AccountBook::LoginByPassword(const std::string& phone, const std::string& passwordDigest, AccountUser* user)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    AccountUser* found = FindLocked(UserOfPhoneLocked(phone));
    if (found == nullptr)
        return ResultCode::UnknownUser;
    if (found->passwordDigest != passwordDigest)
        return ResultCode::WrongPassword;
    *user = *found;
    return ResultCode::Ok;
}

int AccountBook::LoginByCode(const std::string& phone, int code, const std::string& wechatAccessToken,
                             AccountUser* user)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    AccountUser* found = FindLocked(UserOfPhoneLocked(phone));
    if (found == nullptr)
        return ResultCode::UnknownUser;
    if (!TakeCodeLocked(phone, ScodeType::Login, code))
        return ResultCode::WrongCode;
    if (!wechatAccessToken.empty())
        BindWeChatLocked(*found, wechatAccessToken);
    *user = *found;
    return ResultCode::Ok;
}

AccountUser AccountBook::Guest(const std::string& guid, const std::string& name)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    uint32_t& id = m_guests[guid];
    if (id == 0) {
        id = m_nextUserId++;
        m_users[id].id = id;
        m_users[id].guest = true;
    }
    AccountUser& guest = m_users[id];
    guest.name = name.empty() ? "Guest " + std::to_string(id) : name;
    return guest;
}

std::optional<AccountUser> AccountBook::User(uint32_t userId) const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    const auto it = m_users.find(userId);
    if (it == m_users.end())
        return std::nullopt;
    return it->second;
}

int AccountBook::Corporations(uint32_t userId, std::vector<AccountCorp>* corps) const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_users.count(userId) == 0)
        return ResultCode::UnknownUser;
    corps->clear();
    const auto it = m_memberships.find(userId);
    if (it != m_memberships.end()) {
        for (uint32_t corpId : it->second)
            corps->push_back(m_corps.at(corpId));
    }
    return ResultCode::Ok;
}

int AccountBook::CreateCorporation(uint32_t userId, const std::string& name, AccountCorp* corp)
{
    if (name.empty())
        return ResultCode::BadRequest;
    std::lock_guard<std::mutex> lock(m_mutex);
    AccountUser* user = FindLocked(userId);
    if (user == nullptr)
        return ResultCode::UnknownUser;
    if (user->guest)
        return ResultCode::GuestNotAllowed;
    *corp = m_corps.at(AddCorpLocked(*user, name));
    return ResultCode::Ok;
}

int AccountBook::SetProfile(uint32_t userId, const std::string& nick, const std::optional<Picture>& picture)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    AccountUser* user = FindLocked(userId);
    if (user == nullptr)
        return ResultCode::UnknownUser;
    if (!nick.empty())
        user->name = nick;
    if (picture) {
        user->pictureId = picture->id;
        user->avatar = picture->url;
    }
    return ResultCode::Ok;
}

int AccountBook::VerifyOldPhone(uint32_t userId, const std::string& phone, int code, std::string* secret)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    AccountUser* user = FindLocked(userId);
    if (user == nullptr)
        return ResultCode::UnknownUser;
    if (user->guest)
        return ResultCode::GuestNotAllowed;
    if (phone != user->phone || !TakeCodeLocked(phone, ScodeType::Phone, code))
        return ResultCode::WrongCode;
    const auto now = Clock::now();
    for (auto it = m_secrets.begin(); it != m_secrets.end();) {
        if (it->second.expires <= now || it->second.userId == userId)
            it = m_secrets.erase(it);
        else
            ++it;
    }
    PhoneSecret entry;
    entry.userId = userId;
    entry.oldPhone = phone;
    entry.expires = now + kSecretLifetime;
    *secret = RandomHex(16);
    m_secrets[*secret] = entry;
    return ResultCode::Ok;
}

int AccountBook::MoveToNewPhone(uint32_t userId, const std::string& phone, int code, const std::string& secret)
{
    if (phone.empty())
        return ResultCode::BadRequest;
    std::lock_guard<std::mutex> lock(m_mutex);
    AccountUser* user = FindLocked(userId);
    if (user == nullptr)
        return ResultCode::UnknownUser;
    const auto it = m_secrets.find(secret);
    if (secret.empty() || it == m_secrets.end() || it->second.userId != userId ||
        it->second.oldPhone != user->phone || it->second.expires <= Clock::now())
        return ResultCode::SecretInvalid;
    if (UserOfPhoneLocked(phone) != 0)
        return ResultCode::PhoneRegistered;
    if (!TakeCodeLocked(phone, ScodeType::Phone, code))
        return ResultCode::WrongCode;
    m_secrets.erase(it);
    m_phones.erase(user->phone);
    user->phone = phone;
    m_phones[phone] = userId;
    return ResultCode::Ok;
}

int AccountBook::SetPassword(uint32_t userId, const std::string& phone, int code, const std::string& password)
{
    if (password.empty())
        return ResultCode::BadRequest;
    std::lock_guard<std::mutex> lock(m_mutex);
    AccountUser* user = FindLocked(userId);
    if (user == nullptr)
        return ResultCode::UnknownUser;
    if (user->guest)
        return ResultCode::GuestNotAllowed;
    if (phone != user->phone || !TakeCodeLocked(phone, ScodeType::Password, code))
        return ResultCode::WrongCode;
    user->passwordDigest = Md5Hex(password);
    return ResultCode::Ok;
}

int AccountBook::BindWeChat(uint32_t userId, const std::string& accessToken)
{
    if (accessToken.empty())
        return ResultCode::BadRequest;
    std::lock_guard<std::mutex> lock(m_mutex);
    AccountUser* user = FindLocked(userId);
    if (user == nullptr)
        return ResultCode::UnknownUser;
    BindWeChatLocked(*user, accessToken);
    return ResultCode::Ok;
}

int AccountBook::UnbindWeChat(uint32_t userId)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    AccountUser* user = FindLocked(userId);
    if (user == nullptr)
        return ResultCode::UnknownUser;
    if (user->wechatUnionId.empty())
        return ResultCode::WeChatNotBound;
    user->wechatUnionId.clear();
    user->wechatNick.clear();
    return ResultCode::Ok;
}

bool AccountBook::TakeCodeLocked(const std::string& phone, int type, int code)
{
    const auto it = m_codes.find({phone, type});
    if (it == m_codes.end())
        return false;
    if (it->second.expires <= Clock::now()) {
        m_codes.erase(it);
        return false;
    }
    if (std::to_string(code) != it->second.code)
        return false;
    // One code, one use.
    m_codes.erase(it);
    return true;
}

uint32_t AccountBook::UserOfPhoneLocked(const std::string& phone) const
{
    const auto it = m_phones.find(phone);
    return it == m_phones.end() ? 0 : it->second;
}

AccountUser* AccountBook::FindLocked(uint32_t userId)
{
    const auto it = m_users.find(userId);
    return it == m_users.end() ? nullptr : &it->second;
}

void AccountBook::BindWeChatLocked(AccountUser& user, const std::string& accessToken)
{
    // A stand-in for asking WeChat who the access token belongs to: the
    // same access token always names the same WeChat user.
    const std::string who = Md5Hex("wechat:" + accessToken);
    user.wechatUnionId = "wxu-" + who.substr(0, 16);
    user.wechatNick = "WeChat " + who.substr(0, 4);
}

uint32_t AccountBook::AddCorpLocked(AccountUser& owner, const std::string& name)
{
    AccountCorp corp;
    corp.id = m_nextCorpId++;
    corp.name = name;
    m_corps[corp.id] = corp;
    m_memberships[owner.id].push_back(corp.id);
    if (owner.corpId == 0) {
        owner.corpId = corp.id;
        owner.corpName = name;
    }
    return corp.id;
}

}  // namespace DevServer
