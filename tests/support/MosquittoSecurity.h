// The broker's hashed credential files, written directly: what mosquitto_passwd and
// "mosquitto_ctrl dynsec init" produce, for machines that lack those tools.
#pragma once
#include <string>

// One line of a password file: "user:$7$<iterations>$<salt>$<hash>" (PBKDF2-HMAC-SHA512,
// base64 salt and hash), ending with a newline. Empty when hashing fails.
std::string MosquittoPasswordLine(const std::string& user, const std::string& password);

// A dynamic-security configuration with one administrator, allowed to command the plug-in
// and to read everything, and the plug-in's default access for everybody else. Empty when
// hashing fails.
std::string DynsecAdminConfig(const std::string& admin, const std::string& password);
