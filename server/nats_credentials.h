// How this server signs in to NATS and checks whom it talks to: one of a credentials file, an
// NKey seed or a user and password, and TLS. Every secret comes from a file named by an option,
// never from the command line itself, which every user of the machine can read; a URL is shown
// without its user part.
#pragma once

#include <nats/nats.h>

#include <string>
#include <vector>

namespace velmora {

// The files the options name. A name without a '/' is looked up in $CREDENTIALS_DIRECTORY when
// that is set, where systemd puts what a unit's LoadCredential= hands over.
struct NatsCredentialFiles {
    std::string creds;      // the user's JWT and NKey seed, as NATS tools write them
    std::string nkey_seed;  // an NKey seed ("SU..."), alone or as NATS tools frame it
    std::string user;       // two lines: the user, then the password
    std::string tls_ca;     // PEM: the authorities that vouch for the NATS servers
    std::string tls_cert;   // PEM: this server's client certificate, for clusters that ask for one
    std::string tls_key;    // PEM: its private key
};

// The files, found, read and checked, ready for every connection.
struct NatsCredentials {
    NatsCredentialFiles files;
    std::string nkey_public;
    std::string user;
    std::string password;
};

// Finds and reads the files and checks that they can be used and go together; returns what is
// wrong, for a person to mend, or an empty string.
std::string LoadNatsCredentials(const NatsCredentialFiles& files, NatsCredentials& credentials);

// Sets the credentials and TLS on the options of a connection about to be made.
natsStatus ApplyNatsCredentials(natsOptions* options, const NatsCredentials& credentials);

// Connects with options that ApplyNatsCredentials set, trying a sign-in with a signature again
// (see kNatsSignInAttempts).
natsStatus ConnectSignedIn(natsConnection** connection, natsOptions* options, const NatsCredentials& credentials);

// What is wrong with URLs that carry a user, password or token: the command line shows them to
// every user of the machine. Empty when none does.
std::string CheckUrlsCarryNoSecrets(const std::vector<std::string>& urls);

// The URL as logs and messages show it: without a user part.
std::string ShownUrl(const std::string& url);

}  // namespace velmora
