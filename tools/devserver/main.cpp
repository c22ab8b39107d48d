// pelbo-devserver: the local conference server as a program, for client
// developers and for runs against a server in another process.

#include <cstdlib>
#include <iostream>
#include <sstream>
#include <string>
#include <vector>

#include <boost/asio/io_context.hpp>
#include <boost/asio/signal_set.hpp>

#include "devserver/DevServer.h"
#include "devserver/State.h"

namespace {

void PrintUsage(std::ostream& out)
{
    out << "usage: pelbo-devserver [--port N] [--tls] [--cert FILE --key FILE] [--ca-out FILE] [--user PHONE:PASSWORD]...\n"
           "                       [--proxy-port N [--proxy-auth USER:PASSWORD]] [--verbose]\n"
           "  --port N       listen on 127.0.0.1:N (default: a free port)\n"
           "  --tls          serve HTTPS; without --cert a throw-away CA and certificate are made\n"
           "  --cert, --key  PEM certificate chain and private key to serve (implies --tls)\n"
           "  --ca-out FILE  where to write the throw-away CA certificate\n"
           "  --user PHONE:PASSWORD  registers this account at start (repeatable)\n"
           "  --proxy-port N also run a proxy (HTTP CONNECT and SOCKS5, to loopback only) on 127.0.0.1:N (0: a free port)\n"
           "  --proxy-auth USER:PASSWORD  the proxy asks for these credentials\n"
           "  --verbose      log each request (method, path, outcome)\n";
}

// "A:B" into its two non-empty parts, split at the first colon.
bool SplitPair(const std::string& value, std::string* first, std::string* second)
{
    const size_t colon = value.find(':');
    if (colon == 0 || colon == std::string::npos || colon + 1 == value.size())
        return false;
    *first = value.substr(0, colon);
    *second = value.substr(colon + 1);
    return true;
}

bool ParsePort(const std::string& text, uint16_t* port)
{
    if (text.empty() || text.size() > 5 || text.find_first_not_of("0123456789") != std::string::npos)
        return false;
    const unsigned long value = std::stoul(text);
    if (value > 65535)
        return false;
    *port = static_cast<uint16_t>(value);
    return true;
}

struct SeedUser {
    std::string phone;
    std::string password;
};

// Registers an account the way a client would, with a code the server
// issues to itself, so a client can sign in by password straight away.
bool RegisterSeedUser(DevServer::Server& server, const SeedUser& seed, std::ostream& report)
{
    DevServer::AccountBook& accounts = server.GetState().accounts;
    std::string code;
    DevServer::AccountUser user;
    if (accounts.IssueCode(seed.phone, DevServer::ScodeType::Register, &code) != 0 ||
        accounts.Register(seed.phone, DevServer::AccountBook::Md5Hex(seed.password), std::stoi(code), seed.phone,
                          "Local Works", "", &user) != 0)
        return false;
    // A corporation of its own, as a registration from the client makes one:
    // meetings and materials belong to a corporation.
    report << "user " << seed.phone << " registered (id " << user.id << ", corporation \"Local Works\")\n";
    return true;
}

// 0: run; 1: bad usage; 2: help was asked for.
int ParseArguments(int argc, char** argv, DevServer::Options* options, std::vector<SeedUser>* users)
{
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        const bool hasValue = i + 1 < argc;
        if (arg == "--help" || arg == "-h") {
            return 2;
        } else if (arg == "--tls") {
            options->tls = true;
        } else if (arg == "--verbose") {
            options->quiet = false;
        } else if (arg == "--port" && hasValue) {
            if (!ParsePort(argv[++i], &options->port)) {
                std::cerr << "pelbo-devserver: bad port " << argv[i] << "\n";
                return 1;
            }
        } else if (arg == "--cert" && hasValue) {
            options->certFile = argv[++i];
            options->tls = true;
        } else if (arg == "--key" && hasValue) {
            options->keyFile = argv[++i];
        } else if (arg == "--ca-out" && hasValue) {
            options->caCertOut = argv[++i];
        } else if (arg == "--user" && hasValue) {
            SeedUser user;
            if (!SplitPair(argv[++i], &user.phone, &user.password)) {
                std::cerr << "pelbo-devserver: --user needs PHONE:PASSWORD\n";
                return 1;
            }
            users->push_back(user);
        } else if (arg == "--proxy-port" && hasValue) {
            if (!ParsePort(argv[++i], &options->proxyPort)) {
                std::cerr << "pelbo-devserver: bad proxy port " << argv[i] << "\n";
                return 1;
            }
            options->proxy = true;
        } else if (arg == "--proxy-auth" && hasValue) {
            if (!SplitPair(argv[++i], &options->proxyUser, &options->proxyPassword)) {
                std::cerr << "pelbo-devserver: --proxy-auth needs USER:PASSWORD\n";
                return 1;
            }
        } else {
            std::cerr << "pelbo-devserver: unknown or incomplete option " << arg << "\n";
            return 1;
        }
    }
    if (!options->proxyUser.empty() && !options->proxy) {
        std::cerr << "pelbo-devserver: --proxy-auth needs --proxy-port\n";
        return 1;
    }
    return 0;
}

}  // namespace

int main(int argc, char** argv)
{
    DevServer::Options options;
    std::vector<SeedUser> users;
    const int parsed = ParseArguments(argc, argv, &options, &users);
    if (parsed != 0) {
        PrintUsage(parsed == 2 ? std::cout : std::cerr);
        return parsed == 2 ? EXIT_SUCCESS : 2;
    }

    try {
        // Asio catches the signal on whichever thread it lands and wakes this
        // loop; set up first so a signal during start-up is not lost.
        boost::asio::io_context signals;
        boost::asio::signal_set stopOn(signals, SIGINT, SIGTERM);
        stopOn.async_wait([](const boost::system::error_code&, int) {});

        DevServer::Server server(options);
        std::string error;
        if (!server.Start(&error)) {
            std::cerr << "pelbo-devserver: " << error << std::endl;
            return EXIT_FAILURE;
        }
        // The listening address is the first line, as scripts and the docs
        // expect; the registrations are reported after it.
        std::ostringstream registered;
        for (const SeedUser& user : users) {
            if (!RegisterSeedUser(server, user, registered)) {
                std::cerr << "pelbo-devserver: cannot register " << user.phone << " (registered twice?)" << std::endl;
                return EXIT_FAILURE;
            }
        }
        std::cout << "listening on " << server.BaseUrl() << "\n";
        if (!server.CaCertFile().empty())
            std::cout << "CA certificate " << server.CaCertFile() << "\n";
        if (server.ProxyPort() != 0)
            std::cout << "proxy on " << options.host << ":" << server.ProxyPort() << " (HTTP CONNECT and SOCKS5)\n";
        std::cout << registered.str() << std::flush;

        signals.run();
        std::cout << "stopping" << std::endl;
        server.Stop();
    } catch (const std::exception& e) {
        std::cerr << "pelbo-devserver: " << e.what() << std::endl;
        return EXIT_FAILURE;
    }
    return EXIT_SUCCESS;
}
