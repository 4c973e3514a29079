// Starting and stopping a JACK server (the dummy backend) for a test program.
//
// The server runs as a child that the kernel ends when the test program ends, however it ends (a
// timeout, Ctrl-C, a crash): the child asks for SIGKILL on its parent's death before it becomes
// jackd. Stop ends it by its process id, gently first.
//
// The test program also gets a runtime folder of its own (XDG_RUNTIME_DIR), so that the library's
// lock on the system's devices is the program's own, not held against another program's tests.
//
// A server killed that way stays in JACK's machine-wide registry of servers, which holds eight and
// frees a dead server's place only when a server of the same name starts. Name servers with
// ServerName, the same on every run of a test program of one build, so that the next run takes
// back what a killed run left; Reclaim frees a place on purpose.
#pragma once

#include <jack/jack.h>

#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <functional>
#include <string>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace jacktest {

// The jackd on the PATH, or "" when there is none.
inline std::string FindJackd() {
    const char* path = std::getenv("PATH");
    std::string p = path ? path : "/usr/bin:/bin";
    size_t start = 0;
    while (start <= p.size()) {
        size_t end = p.find(':', start);
        if (end == std::string::npos) end = p.size();
        std::string candidate = p.substr(start, end - start) + "/jackd";
        if (access(candidate.c_str(), X_OK) == 0) return candidate;
        start = end + 1;
    }
    return {};
}

// A server name for this test program: purpose, then a mark of the program's path (the same on
// every run of this build's program, different from other builds' and programs').
inline std::string ServerName(const std::string& purpose) {
    std::error_code ec;
    const std::string exe = std::filesystem::read_symlink("/proc/self/exe", ec).string();
    char mark[17];
    std::snprintf(mark, sizeof mark, "%08zx", std::hash<std::string>()(exe) & 0xFFFFFFFFu);
    return purpose + "-" + mark;
}

// Points XDG_RUNTIME_DIR at a fresh folder of this program's own (once), removed at exit.
inline void UsePrivateRuntimeDir() {
    static std::string dir;
    if (!dir.empty()) return;
    std::string pattern = (std::filesystem::temp_directory_path() / "dendra-jacktest-XXXXXX");
    if (!mkdtemp(pattern.data())) return;
    dir = pattern;
    setenv("XDG_RUNTIME_DIR", dir.c_str(), 1);
    std::atexit([] {
        std::error_code ec;
        std::filesystem::remove_all(dir, ec);
    });
}

// Whether a server answers under the default server name.
inline bool ServerAnswers() {
    jack_status_t status;
    jack_client_t* c = jack_client_open("dendra-wait", JackNoStartServer, &status);
    if (!c) return false;
    jack_client_close(c);
    return true;
}

// Starts `jackd [SERVER OPTIONS] -n NAME -d dummy -r RATE -p PERIOD` (extra arguments appended)
// with its output discarded, makes NAME the default server of this process, and waits up to 10 s
// for it to answer. Returns the server's process id, or -1 when it could not be started.
//
// Tests that compare positions in frames between clients start the server synchronous ("-S"):
// it then waits for every client in every cycle instead of leaving out one that is late, so all
// clients count the same cycles even on a busy machine.
inline pid_t StartDummyServer(const std::string& name, const std::string& rate,
                              const std::string& period, const std::vector<std::string>& extra = {},
                              const std::vector<std::string>& serverOptions = {}) {
    const std::string jackd = FindJackd();
    if (jackd.empty()) return -1;
    UsePrivateRuntimeDir();
    setenv("JACK_DEFAULT_SERVER", name.c_str(), 1);
    setenv("JACK_NO_AUDIO_RESERVATION", "1", 1);
    std::vector<std::string> args = {"jackd"};
    args.insert(args.end(), serverOptions.begin(), serverOptions.end());
    for (const char* a :
         {"-n", name.c_str(), "-d", "dummy", "-r", rate.c_str(), "-p", period.c_str()})
        args.push_back(a);
    args.insert(args.end(), extra.begin(), extra.end());
    std::vector<char*> argv;
    for (std::string& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    const pid_t parent = getpid();
    const pid_t pid = fork();
    if (pid < 0) return -1;
    if (pid == 0) {
        // Ends with the test program, even when it is killed.
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        if (getppid() != parent) _exit(0); // the parent died before the request took hold
        int null = open("/dev/null", O_WRONLY);
        dup2(null, 1);
        dup2(null, 2);
        execv(jackd.c_str(), argv.data());
        _exit(127);
    }
    for (int i = 0; i < 200; ++i) {
        if (ServerAnswers()) return pid;
        int status = 0;
        if (waitpid(pid, &status, WNOHANG) == pid) return -1; // it ended at once
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return pid;
}

// Frees the registry place that a killed server of this name left: a server of the same name
// starts (taking the place back) and stops again gently (giving it up).
inline void StopServer(pid_t pid);
inline void Reclaim(const std::string& name) {
    const char* was = std::getenv("JACK_DEFAULT_SERVER");
    const std::string keep = was ? was : "";
    // The killed server may linger a moment as a zombie, which still holds the place.
    for (int attempt = 0; attempt < 20; ++attempt) {
        const pid_t pid = StartDummyServer(name, "48000", "1024");
        if (pid > 0) {
            StopServer(pid);
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    if (was)
        setenv("JACK_DEFAULT_SERVER", keep.c_str(), 1);
    else
        unsetenv("JACK_DEFAULT_SERVER");
}

// Ends the server: SIGTERM, then SIGKILL after 5 s.
inline void StopServer(pid_t pid) {
    if (pid <= 0) return;
    kill(pid, SIGTERM);
    int status = 0;
    for (int i = 0; i < 50; ++i) {
        if (waitpid(pid, &status, WNOHANG) == pid) return;
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    kill(pid, SIGKILL);
    waitpid(pid, &status, 0);
}

} // namespace jacktest
