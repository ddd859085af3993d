#include "support/MosquittoSecurity.h"

#include <openssl/evp.h>
#include <openssl/rand.h>
#include <vector>

namespace
{
// Salt size and iteration count the broker's own tools use.
constexpr int kSaltBytes = 12;
constexpr int kIterations = 101;
constexpr int kHashBytes = 64;

std::string Base64(const unsigned char* bytes, size_t size)
{
    std::vector<unsigned char> text(4 * ((size + 2) / 3) + 1);
    const int length = EVP_EncodeBlock(text.data(), bytes, static_cast<int>(size));
    return std::string(reinterpret_cast<const char*>(text.data()), static_cast<size_t>(length));
}

struct Hashed
{
    std::string salt; // base64
    std::string hash; // base64
};

bool Hash(const std::string& password, Hashed* out)
{
    unsigned char salt[kSaltBytes];
    unsigned char hash[kHashBytes];
    if (RAND_bytes(salt, sizeof(salt)) != 1 ||
        PKCS5_PBKDF2_HMAC(password.data(), static_cast<int>(password.size()), salt, sizeof(salt), kIterations,
                          EVP_sha512(), sizeof(hash), hash) != 1)
        return false;
    out->salt = Base64(salt, sizeof(salt));
    out->hash = Base64(hash, sizeof(hash));
    return true;
}

// Names and passwords of test users are plain; quotes and backslashes are escaped anyway.
std::string JsonText(const std::string& text)
{
    std::string quoted = "\"";
    for (const char c : text)
    {
        if (c == '"' || c == '\\')
            quoted += '\\';
        quoted += c;
    }
    return quoted + "\"";
}
} // namespace

std::string MosquittoPasswordLine(const std::string& user, const std::string& password)
{
    Hashed hashed;
    if (!Hash(password, &hashed))
        return {};
    return user + ":$7$" + std::to_string(kIterations) + "$" + hashed.salt + "$" + hashed.hash + "\n";
}

std::string DynsecAdminConfig(const std::string& admin, const std::string& password)
{
    Hashed hashed;
    if (!Hash(password, &hashed))
        return {};
    std::string acls;
    const std::pair<const char*, const char*> grants[] = {
        {"publishClientSend", "$CONTROL/dynamic-security/#"},
        {"publishClientReceive", "$CONTROL/dynamic-security/#"},
        {"subscribePattern", "$CONTROL/dynamic-security/#"},
        {"publishClientReceive", "$SYS/#"},
        {"subscribePattern", "$SYS/#"},
        {"publishClientReceive", "#"},
        {"subscribePattern", "#"},
        {"unsubscribePattern", "#"},
    };
    for (const auto& [type, topic] : grants)
    {
        if (!acls.empty())
            acls += ",";
        acls += std::string(R"({"acltype":")") + type + R"(","topic":")" + topic + R"(","allow":true})";
    }
    return R"({"clients":[{"username":)" + JsonText(admin) +
           R"(,"textName":"Dynsec admin user","password":")" + hashed.hash + R"(","salt":")" + hashed.salt +
           R"(","iterations":)" + std::to_string(kIterations) +
           R"(,"roles":[{"rolename":"admin"}]}],"roles":[{"rolename":"admin","acls":[)" + acls +
           R"(]}],"defaultACLAccess":{"publishClientSend":false,"publishClientReceive":true,)" +
           R"("subscribe":false,"unsubscribe":true}})" + "\n";
}
