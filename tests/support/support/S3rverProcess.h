#pragma once
// s3rver, the npm package's S3-compatible server, run by node in a child
// process on a free loopback port, storing into a given folder; ended with
// the object. Header-only, so the benchmarks can use it without the test
// libraries. tools/scripts/deps.sh installs s3rver under build/npm.

#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <sstream>
#include <string>
#include <vector>

extern char** environ;

namespace TestSupport {

class S3rverProcess {
public:
    // The node program on the PATH; empty when there is none.
    static std::string FindNode()
    {
        const char* path = std::getenv("PATH");
        std::istringstream folders(path != nullptr ? path : "/usr/bin:/usr/local/bin");
        std::string folder;
        while (std::getline(folders, folder, ':')) {
            const std::filesystem::path candidate = std::filesystem::path(folder) / "node";
            if (access(candidate.c_str(), X_OK) == 0)
                return candidate.string();
        }
        return std::string();
    }

    S3rverProcess() = default;
    S3rverProcess(const S3rverProcess&) = delete;
    S3rverProcess& operator=(const S3rverProcess&) = delete;

    ~S3rverProcess()
    {
        if (m_pid > 0) {
            kill(m_pid, SIGTERM);
            int status = 0;
            waitpid(m_pid, &status, 0);
        }
    }

    // Starts s3rver (module: the package folder) with the bucket; false with
    // the reason when it did not come up.
    bool Start(const std::string& node, const std::string& module, const std::string& folder,
               const std::string& bucket, std::string* error)
    {
        const std::string script =
            "const S3rver = require(process.argv[1]);"
            "new S3rver({address: '127.0.0.1', port: 0, silent: true, directory: process.argv[2],"
            "            configureBuckets: [{name: process.argv[3]}]})"
            "  .run().then((a) => console.log('PORT ' + a.port))"
            "  .catch((e) => { console.log('ERROR ' + e.message); process.exit(1); });";
        int pipeFds[2];
        if (pipe(pipeFds) != 0) {
            *error = "pipe failed";
            return false;
        }
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, pipeFds[1], STDOUT_FILENO);
        posix_spawn_file_actions_addclose(&actions, pipeFds[0]);
        std::vector<std::string> args = {node, "-e", script, module, folder, bucket};
        std::vector<char*> argv;
        for (std::string& arg : args)
            argv.push_back(arg.data());
        argv.push_back(nullptr);
        const int rc = posix_spawn(&m_pid, node.c_str(), &actions, nullptr, argv.data(), environ);
        posix_spawn_file_actions_destroy(&actions);
        close(pipeFds[1]);
        if (rc != 0) {
            close(pipeFds[0]);
            m_pid = 0;
            *error = "node could not be started";
            return false;
        }
        std::string line;
        char c = 0;
        while (read(pipeFds[0], &c, 1) == 1 && c != '\n')
            line.push_back(c);
        close(pipeFds[0]);
        if (line.compare(0, 5, "PORT ") != 0) {
            *error = "s3rver did not start: " + line;
            return false;
        }
        m_port = line.substr(5);
        return true;
    }

    std::string Url() const { return "http://127.0.0.1:" + m_port; }

private:
    pid_t m_pid = 0;
    std::string m_port;
};

}  // namespace TestSupport
