#include "nats_credentials.h"

#include "nkey.h"
#include "server_limits.h"

#include <openssl/crypto.h>

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace velmora {

namespace {

std::string FoundFile(const std::string& name)
{
    const char* directory = std::getenv("CREDENTIALS_DIRECTORY");
    if (name.empty() || name.find('/') != std::string::npos || !directory || !*directory)
        return name;
    return std::string(directory) + "/" + name;
}

// Reads at most `limit` bytes of the file; returns why it cannot, or an empty string.
std::string ReadStart(const std::string& path, std::size_t limit, std::string& text)
{
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return std::strerror(errno);
    text.assign(limit, '\0');
    std::size_t got = 0;
    ssize_t n = 0;
    while (got < limit && (n = read(fd, &text[got], limit - got)) != 0) {
        if (n < 0 && errno != EINTR)
            break;
        if (n > 0)
            got += static_cast<std::size_t>(n);
    }
    const std::string reason = n < 0 ? std::strerror(errno) : "";
    close(fd);
    text.resize(got);
    return reason;
}

std::string CannotRead(const char* option, const std::string& name, const std::string& path, const std::string& reason)
{
    std::string text = "cannot read " + path + ", the file of " + option + ": " + reason;
    if (path == name && name.find('/') == std::string::npos && reason == std::strerror(ENOENT))
        text += " (a name without a / is looked up in $CREDENTIALS_DIRECTORY, which is not set)";
    return text;
}

// The file's lines, each without its line end, and without the empty lines at its end.
std::vector<std::string> Lines(const std::string& text)
{
    std::vector<std::string> lines;
    for (std::size_t at = 0; at < text.size();) {
        std::size_t end = text.find('\n', at);
        end = end == std::string::npos ? text.size() : end;
        lines.push_back(text.substr(at, end - at));
        if (!lines.back().empty() && lines.back().back() == '\r')
            lines.back().pop_back();
        at = end + 1;
    }
    while (!lines.empty() && lines.back().empty())
        lines.pop_back();
    return lines;
}

// The first line that is a seed: alone in the file, or framed as NATS tools write it.
std::string SeedLine(const std::string& text)
{
    for (const std::string& line : Lines(text)) {
        const std::size_t start = line.find_first_not_of(" \t");
        if (start != std::string::npos && line.compare(start, 2, "SU") == 0)
            return line.substr(start, line.find_last_not_of(" \t") + 1 - start);
    }
    return {};
}

std::string LoadUser(const std::string& text, NatsCredentials& credentials)
{
    const std::vector<std::string> lines = Lines(text);
    if (lines.size() != 2 || lines[0].empty() || lines[1].empty())
        return "must hold two lines, the NATS user and then its password";
    credentials.user = lines[0];
    credentials.password = lines[1];
    return {};
}

std::string LoadNKey(std::string text, NatsCredentials& credentials)
{
    std::string seed = SeedLine(text);
    credentials.nkey_public = UserPublicKeyOfSeed(seed);
    OPENSSL_cleanse(&text[0], text.size());
    OPENSSL_cleanse(&seed[0], seed.size());
    return credentials.nkey_public.empty() ? "holds no NKey seed of a user (a line of 58 characters starting SU)" : "";
}

std::string LoadCreds(const std::string& text)
{
    if (text.find("-----BEGIN NATS USER JWT-----") == std::string::npos || SeedLine(text).empty())
        return "is not a NATS credentials file: it lacks the user's JWT or its NKey seed";
    return {};
}

std::string CheckTheyGoTogether(const NatsCredentialFiles& files)
{
    const int ways = !files.creds.empty() + !files.nkey_seed.empty() + !files.user.empty();
    if (ways > 1)
        return "--nats-creds, --nats-nkey and --nats-user-file are three ways of signing in to NATS: choose one";
    if (files.tls_cert.empty() != files.tls_key.empty())
        return "--nats-tls-cert and --nats-tls-key go together: a client certificate and its private key";
    return {};
}

// Reads the file an option names and hands its text to `load`, which says what is wrong with it.
template <typename Load>
std::string LoadFile(const char* option, const std::string& name, std::string& path, Load load)
{
    path = FoundFile(name);
    std::string text;
    std::string reason = ReadStart(path, kNatsCredentialFileMaxBytes + 1, text);
    if (reason.empty() && text.size() > kNatsCredentialFileMaxBytes)
        reason = "longer than " + std::to_string(kNatsCredentialFileMaxBytes) + " bytes, which no such file is";
    if (!reason.empty())
        return CannotRead(option, name, path, reason);
    reason = load(text);
    OPENSSL_cleanse(&text[0], text.size());
    return reason.empty() ? "" : path + ", the file of " + option + ", " + reason;
}

// TLS files may be long (a bundle of authorities): here they need only be there to be read.
std::string FindTlsFile(const char* option, const std::string& name, std::string& path)
{
    path = FoundFile(name);
    std::string first_byte;
    const std::string reason = ReadStart(path, 1, first_byte);
    return reason.empty() ? "" : CannotRead(option, name, path, reason);
}

// Loading TLS files into options checks them whole; a NATS connection would do the same.
std::string CheckTlsFiles(const NatsCredentials& credentials)
{
    natsOptions* options = nullptr;
    natsStatus s = natsOptions_Create(&options);
    if (s == NATS_OK)
        s = ApplyNatsCredentials(options, credentials);
    natsOptions_Destroy(options);
    if (s == NATS_OK)
        return {};
    const char* detail = nats_GetLastError(nullptr);
    return std::string("the TLS files for NATS cannot be used: ")
        + (detail && *detail ? detail : natsStatus_GetText(s));
}

std::size_t UserPartEnd(const std::string& url, std::size_t& begin)
{
    const std::size_t scheme = url.find("://");
    begin = scheme == std::string::npos ? 0 : scheme + 3;
    const std::size_t host_end = url.find_first_of("/?#", begin);
    const std::size_t at = url.substr(begin, host_end - begin).rfind('@');
    return at == std::string::npos ? at : begin + at;
}

}  // namespace

std::string LoadNatsCredentials(const NatsCredentialFiles& files, NatsCredentials& credentials)
{
    std::string error = CheckTheyGoTogether(files);
    NatsCredentialFiles& found = credentials.files;
    if (error.empty() && !files.user.empty())
        error = LoadFile("--nats-user-file", files.user, found.user,
            [&](const std::string& text) { return LoadUser(text, credentials); });
    if (error.empty() && !files.nkey_seed.empty())
        error = LoadFile("--nats-nkey", files.nkey_seed, found.nkey_seed,
            [&](const std::string& text) { return LoadNKey(text, credentials); });
    if (error.empty() && !files.creds.empty())
        error = LoadFile("--nats-creds", files.creds, found.creds, LoadCreds);
    if (error.empty() && !files.tls_ca.empty())
        error = FindTlsFile("--nats-tls-ca", files.tls_ca, found.tls_ca);
    if (error.empty() && !files.tls_cert.empty())
        error = FindTlsFile("--nats-tls-cert", files.tls_cert, found.tls_cert);
    if (error.empty() && !files.tls_key.empty())
        error = FindTlsFile("--nats-tls-key", files.tls_key, found.tls_key);
    if (error.empty() && (!found.tls_ca.empty() || !found.tls_cert.empty()))
        error = CheckTlsFiles(credentials);
    return error;
}

natsStatus ApplyNatsCredentials(natsOptions* options, const NatsCredentials& credentials)
{
    const NatsCredentialFiles& files = credentials.files;
    natsStatus s = NATS_OK;
    if (!files.creds.empty())
        s = natsOptions_SetUserCredentialsFromFiles(options, files.creds.c_str(), nullptr);
    if (s == NATS_OK && !files.nkey_seed.empty())
        s = natsOptions_SetNKeyFromSeed(options, credentials.nkey_public.c_str(), files.nkey_seed.c_str());
    if (s == NATS_OK && !files.user.empty())
        s = natsOptions_SetUserInfo(options, credentials.user.c_str(), credentials.password.c_str());
    if (s == NATS_OK && (!files.tls_ca.empty() || !files.tls_cert.empty()))
        s = natsOptions_SetSecure(options, true);
    if (s == NATS_OK && !files.tls_ca.empty())
        s = natsOptions_LoadCATrustedCertificates(options, files.tls_ca.c_str());
    if (s == NATS_OK && !files.tls_cert.empty())
        s = natsOptions_LoadCertificatesChain(options, files.tls_cert.c_str(), files.tls_key.c_str());
    return s;
}

natsStatus ConnectSignedIn(natsConnection** connection, natsOptions* options, const NatsCredentials& credentials)
{
    const bool signs = !credentials.files.creds.empty() || !credentials.files.nkey_seed.empty();
    natsStatus s = natsConnection_Connect(connection, options);
    for (int attempt = 1; signs && s == NATS_CONNECTION_AUTH_FAILED && attempt < kNatsSignInAttempts; ++attempt)
        s = natsConnection_Connect(connection, options);
    return s;
}

std::string CheckUrlsCarryNoSecrets(const std::vector<std::string>& urls)
{
    for (const std::string& url : urls) {
        std::size_t begin = 0;
        if (UserPartEnd(url, begin) != std::string::npos)
            return "the NATS URL " + ShownUrl(url) + " carries a user, password or token, which the process list "
                "shows to every user of this machine: put the user and password in a file, two lines, and name it "
                "with --nats-user-file instead";
    }
    return {};
}

std::string ShownUrl(const std::string& url)
{
    std::size_t begin = 0;
    const std::size_t at = UserPartEnd(url, begin);
    return at == std::string::npos ? url : url.substr(0, begin) + url.substr(at + 1);
}

}  // namespace velmora
