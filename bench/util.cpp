// Timing, files, child processes and the table of results.
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <stdexcept>

#include "bench/bench.h"

extern char** environ;

double Now() { return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count(); }

double Median(std::vector<double> values) {
    if (values.empty()) return 0;
    std::sort(values.begin(), values.end());
    size_t n = values.size();
    return n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

// ---------------------------------------------------------------- files

std::string ReadWhole(const std::string& path) {
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) throw std::runtime_error("cannot read " + path + ": " + std::strerror(errno));
    struct stat st;
    fstat(fd, &st);
    std::string data(static_cast<size_t>(st.st_size), '\0');
    size_t done = 0;
    while (done < data.size()) {
        ssize_t n = read(fd, &data[done], data.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        done += static_cast<size_t>(n);
    }
    close(fd);
    data.resize(done);
    return data;
}

void WriteWhole(const std::string& path, const std::string& data) {
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) throw std::runtime_error("cannot write " + path + ": " + std::strerror(errno));
    size_t done = 0;
    while (done < data.size()) {
        ssize_t n = write(fd, data.data() + done, data.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) throw std::runtime_error("cannot write " + path + ": " + std::strerror(errno));
        done += static_cast<size_t>(n);
    }
    close(fd);
}

bool Exists(const std::string& path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0;
}

void MakeDirs(const std::string& path) {
    for (size_t slash = path.find('/', 1);; slash = path.find('/', slash + 1)) {
        std::string part = path.substr(0, slash);
        if (mkdir(part.c_str(), 0755) != 0 && errno != EEXIST)
            throw std::runtime_error("cannot create " + part + ": " + std::strerror(errno));
        if (slash == std::string::npos) break;
    }
}

void RemoveTree(const std::string& path) {
    if (!Exists(path)) return;
    Command command;
    command.argv = {"rm", "-rf", "--", path};
    command.stdoutPath = "-";
    if (RunProcess(command).status != 0) throw std::runtime_error("cannot remove " + path);
}

void CopyPlain(const std::string& from, const std::string& to) {
    static std::vector<char> buffer(1 << 20);
    int in = open(from.c_str(), O_RDONLY | O_CLOEXEC);
    int out = open(to.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (in < 0 || out < 0) throw std::runtime_error("cannot copy " + from + " to " + to);
    for (;;) {
        ssize_t n = read(in, buffer.data(), buffer.size());
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        for (ssize_t done = 0; done < n;) {
            ssize_t w = write(out, buffer.data() + done, static_cast<size_t>(n - done));
            if (w <= 0) throw std::runtime_error("cannot write " + to);
            done += w;
        }
    }
    close(in);
    close(out);
}

void SyncAll() { sync(); }

// ---------------------------------------------------------------- processes

ProcessResult RunProcess(const Command& command) {
    ProcessResult result;
    int pipeFds[2] = {-1, -1};
    bool capture = command.stdoutPath.empty();
    if (capture && pipe(pipeFds) != 0) throw std::runtime_error("pipe failed");

    std::vector<std::string> environment;
    for (char** e = environ; *e; ++e) {
        bool replaced = false;
        for (const std::string& entry : command.env) {
            size_t eq = entry.find('=');
            if (std::strncmp(*e, entry.c_str(), eq + 1) == 0) replaced = true;
        }
        if (!replaced) environment.emplace_back(*e);
    }
    environment.insert(environment.end(), command.env.begin(), command.env.end());
    std::vector<char*> envp;
    for (std::string& entry : environment) envp.push_back(&entry[0]);
    envp.push_back(nullptr);
    std::vector<std::string> args = command.argv;
    std::vector<char*> argv;
    for (std::string& arg : args) argv.push_back(&arg[0]);
    argv.push_back(nullptr);

    double start = Now();
    pid_t pid = fork();
    if (pid < 0) throw std::runtime_error("fork failed");
    if (pid == 0) {
        int in = open(command.stdinPath.empty() ? "/dev/null" : command.stdinPath.c_str(), O_RDONLY);
        int out = capture ? pipeFds[1]
                          : open(command.stdoutPath == "-" ? "/dev/null" : command.stdoutPath.c_str(),
                                 O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (in < 0 || out < 0) _exit(126);
        dup2(in, 0);
        dup2(out, 1);
        if (capture) close(pipeFds[0]);
        if (!command.cwd.empty() && chdir(command.cwd.c_str()) != 0) _exit(126);
        execvpe(argv[0], argv.data(), envp.data());
        _exit(127);
    }
    if (capture) {
        close(pipeFds[1]);
        char buffer[4096];
        for (;;) {
            ssize_t n = read(pipeFds[0], buffer, sizeof buffer);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) break;
            result.output.append(buffer, static_cast<size_t>(n));
        }
        close(pipeFds[0]);
    }
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    result.seconds = Now() - start;
    result.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return result;
}

bool HaveProgram(const std::string& name) {
    Command command;
    command.argv = {"sh", "-c", "command -v \"$0\" >/dev/null", name};
    command.stdoutPath = "-";
    return RunProcess(command).status == 0;
}

// ---------------------------------------------------------------- the report

std::string Rate(double bytes, double seconds) {
    char text[64];
    double rate = seconds > 0 ? bytes / seconds : 0;
    if (rate >= 1e9)
        std::snprintf(text, sizeof text, "%.2f GB/s", rate / 1e9);
    else if (rate >= 1e8)
        std::snprintf(text, sizeof text, "%.0f MB/s", rate / 1e6);
    else
        std::snprintf(text, sizeof text, "%.1f MB/s", rate / 1e6);
    return text;
}

std::string Duration(double seconds) {
    char text[64];
    if (seconds >= 1)
        std::snprintf(text, sizeof text, "%.2f s", seconds);
    else if (seconds >= 1e-3)
        std::snprintf(text, sizeof text, "%.1f ms", seconds * 1e3);
    else
        std::snprintf(text, sizeof text, "%.1f µs", seconds * 1e6);
    return text;
}

std::string Times(double ratio) {
    char text[32];
    std::snprintf(text, sizeof text, ratio >= 10 ? "%.0fx" : ratio >= 0.1 ? "%.2fx" : "%.3fx", ratio);
    return text;
}

void Report::Row(const std::string& section, const std::string& subject, const std::string& value,
                 const std::string& ratio, const std::string& target, const std::string& met) {
    lines_.push_back(Line{section, subject, value, ratio, target, met});
    std::fprintf(stderr, "  %-28s %-46s %14s %s\n", section.c_str(), subject.c_str(), value.c_str(), ratio.c_str());
}

std::string Worded(const std::string& wording, double ratio) {
    std::string text = wording;
    size_t at = text.find("{}");
    return at == std::string::npos ? Times(ratio) + " " + text : text.replace(at, 2, Times(ratio));
}

void Report::Judge(const std::string& section, const std::string& subject, const std::string& value, double ratio,
                   const std::string& wording, double limit, bool atLeast) {
    bool met = atLeast ? ratio >= limit : ratio <= limit;
    if (!met) ++missed_;
    std::string target = (atLeast ? "≥ " : "≤ ") + Times(limit);
    Row(section, subject, value, Worded(wording, ratio), target, met ? "met" : "missed");
}

void Report::Wrong(const std::string& what) {
    wrong_.push_back(what);
    std::fprintf(stderr, "WRONG OUTPUT: %s\n", what.c_str());
}

void Report::Note(const std::string& text) { notes_.push_back(text); }

std::string Report::Markdown(const std::string& heading) const {
    std::string out = heading + "\n\n";
    out += "| Case | Measured | Value | Ratio | Target | |\n";
    out += "|---|---|---:|---|---|---|\n";
    for (const Line& line : lines_) {
        out += "| " + line.section + " | " + line.subject + " | " + line.value + " | " + line.ratio + " | " +
               line.target + " | " + line.met + " |\n";
    }
    if (!notes_.empty()) {
        out += "\n";
        for (const std::string& note : notes_) out += "- " + note + "\n";
    }
    if (!wrong_.empty()) {
        out += "\nWrong output:\n\n";
        for (const std::string& what : wrong_) out += "- " + what + "\n";
    }
    return out;
}

void Report::Print() const { std::fputs(Markdown("## Results").c_str(), stdout); }
