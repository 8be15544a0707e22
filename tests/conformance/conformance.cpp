// zembrix-conformance: runs every row of the conformance table through
// zembrix-romtest, in parallel, and compares the results with the table.
//
// A row expected to pass that no longer passes is a regression and fails the
// run. A row expected to fail that now passes is reported ("NEW PASS"), and
// the run still succeeds: the table should then be raised (--raise does it).
// A row that cannot run at all (missing ROM or reference picture, unknown
// model) fails the run too, and so does a crash on any row: a runner killed
// by a signal, a sanitizer report in its output, or a run that ended without
// the verdict line its exit status stands for. No "fail" row hides a crash.
// Without ZEMBRIX_TEST_ROMS the run is skipped (exit status 77).
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <map>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace fs = std::filesystem;

namespace {

constexpr int EXIT_SKIPPED = 77;

struct Row {
    int line = 0;  // in the table file
    std::string rom;
    std::string model;
    std::string kind;
    int frames = 0;
    bool expect_pass = false;
    std::vector<std::string> runner_options;  // optional sixth column
};

enum class Outcome { Pass, Fail, Timeout, Error, Crash };

struct Result {
    Outcome outcome = Outcome::Error;
    std::string summary;  // the runner's last line (or why it did not run)
    std::string note;     // the line before it, when the runner explained a time-out
    double seconds = 0;
};

const char* outcome_name(Outcome o) {
    switch (o) {
        case Outcome::Pass: return "pass";
        case Outcome::Fail: return "fail";
        case Outcome::Timeout: return "timeout";
        case Outcome::Error: return "error";
        default: return "crash";
    }
}

std::string trim(const std::string& s) {
    const size_t a = s.find_first_not_of(" \t\r\n");
    if (a == std::string::npos) return {};
    const size_t b = s.find_last_not_of(" \t\r\n");
    return s.substr(a, b - a + 1);
}

std::vector<std::string> split_tabs(const std::string& line) {
    std::vector<std::string> out;
    std::string field;
    std::istringstream in(line);
    while (std::getline(in, field, '\t')) out.push_back(trim(field));
    return out;
}

// The table: tab-separated columns ROM, model, kind, frame limit, pass|fail,
// and optionally further runner options separated by spaces (scripted
// presses). Blank lines and lines starting with '#' are ignored.
bool read_table(const fs::path& path, std::vector<Row>& rows, std::vector<std::string>& lines, std::string& error) {
    std::ifstream in(path);
    if (!in) {
        error = "cannot read " + path.string();
        return false;
    }
    std::string text;
    int number = 0;
    while (std::getline(in, text)) {
        ++number;
        lines.push_back(text);
        const std::string t = trim(text);
        if (t.empty() || t[0] == '#') continue;
        const auto f = split_tabs(text);
        auto bad = [&](const std::string& why) {
            error = path.string() + ":" + std::to_string(number) + ": " + why;
            return false;
        };
        if (f.size() != 5 && f.size() != 6)
            return bad("expected 5 or 6 tab-separated columns, found " + std::to_string(f.size()));
        Row r;
        r.line = number;
        r.rom = f[0];
        r.model = f[1];
        r.kind = f[2];
        char* end = nullptr;
        const long frames = std::strtol(f[3].c_str(), &end, 10);
        if (f[3].empty() || *end != '\0' || frames <= 0) return bad("frame limit must be a positive number");
        r.frames = int(frames);
        if (f[4] == "pass")
            r.expect_pass = true;
        else if (f[4] != "fail")
            return bad("expected result must be pass or fail, not '" + f[4] + "'");
        if (r.rom.empty() || r.model.empty() || r.kind.empty()) return bad("empty column");
        if (f.size() == 6) {
            std::istringstream options(f[5]);
            for (std::string o; options >> o;) r.runner_options.push_back(o);
        }
        rows.push_back(r);
    }
    return true;
}

// The runner's --expect argument: reference pictures are named relative to
// the ROM folder in the table.
std::string expect_argument(const std::string& kind, const fs::path& roms) {
    for (const char* prefix : {"image:", "image-frames:"}) {
        const size_t n = std::strlen(prefix);
        if (kind.compare(0, n, prefix) == 0) return prefix + (roms / kind.substr(n)).string();
    }
    return kind;
}

// What AddressSanitizer, LeakSanitizer and UndefinedBehaviorSanitizer print
// when they find something.
bool has_sanitizer_report(const std::string& output) {
    for (const char* marker : {"ERROR: AddressSanitizer", "ERROR: LeakSanitizer", "runtime error:",
                               "SUMMARY: AddressSanitizer", "SUMMARY: UndefinedBehaviorSanitizer"})
        if (output.find(marker) != std::string::npos) return true;
    return false;
}

// Runs the runner for one row; kills it if it outlives `wall_limit` seconds.
Result run_row(const std::string& runner, const fs::path& roms, const Row& row, double wall_limit) {
    Result result;
    const auto start = std::chrono::steady_clock::now();
    std::vector<std::string> args = {runner, "--model", row.model, "--frames", std::to_string(row.frames),
                                     "--expect", expect_argument(row.kind, roms)};
    args.insert(args.end(), row.runner_options.begin(), row.runner_options.end());
    args.push_back((roms / row.rom).string());
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) {
        result.summary = "cannot create a pipe";
        return result;
    }
    const pid_t pid = ::fork();
    if (pid < 0) {
        ::close(fds[0]);
        ::close(fds[1]);
        result.summary = "cannot start the runner";
        return result;
    }
    if (pid == 0) {
        ::dup2(fds[1], STDOUT_FILENO);
        ::dup2(fds[1], STDERR_FILENO);
        std::vector<char*> argv;
        for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        ::execv(argv[0], argv.data());
        ::_exit(127);
    }
    ::close(fds[1]);

    std::string output;
    bool killed = false;
    bool sanitizer_report = false;
    char buffer[4096];
    for (;;) {
        const double elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        const double left = wall_limit - elapsed;
        if (left <= 0) {
            ::kill(pid, SIGKILL);
            killed = true;
            break;
        }
        pollfd p{fds[0], POLLIN, 0};
        const int ready = ::poll(&p, 1, int(std::min(left, 1.0) * 1000) + 1);
        if (ready < 0 && errno != EINTR) break;
        if (ready <= 0) continue;
        const ssize_t n = ::read(fds[0], buffer, sizeof buffer);
        if (n > 0) {
            output.append(buffer, size_t(n));
            // Looked for before the start of a long output is dropped.
            sanitizer_report = sanitizer_report || has_sanitizer_report(output);
            // Only the end of the output is reported.
            if (output.size() > 65536) output.erase(0, output.size() - 8192);
        } else if (n == 0 || errno != EINTR) {
            break;
        }
    }
    ::close(fds[0]);
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    result.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();

    std::vector<std::string> lines;
    std::istringstream in(output);
    for (std::string l; std::getline(in, l);)
        if (!trim(l).empty()) lines.push_back(trim(l));
    result.summary = lines.empty() ? "(no output)" : lines.back();
    if (lines.size() >= 2) result.note = lines[lines.size() - 2];

    if (killed) {
        result.outcome = Outcome::Timeout;
        result.summary = "killed after " + std::to_string(int(wall_limit)) + " s of wall-clock time";
    } else if (WIFSIGNALED(status)) {
        result.outcome = Outcome::Crash;
        result.summary = "runner died of signal " + std::to_string(WTERMSIG(status)) + " (" + result.summary + ")";
    } else if (WIFEXITED(status) && WEXITSTATUS(status) == 127) {
        result.outcome = Outcome::Error;
        result.summary = "cannot execute " + runner;
    } else if (sanitizer_report) {
        result.outcome = Outcome::Crash;
        result.summary = "sanitizer report (" + result.summary + ")";
    } else {
        const int code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        const std::string& last = result.summary;
        auto says = [&](const char* word) { return last.rfind(word, 0) == 0; };
        if (code == 0 && says("PASS"))
            result.outcome = Outcome::Pass;
        else if (code == 1 && says("FAIL"))
            result.outcome = Outcome::Fail;
        else if (code == 2 && says("TIMEOUT"))
            result.outcome = Outcome::Timeout;
        else if (code == 2 && says("ERROR"))
            result.outcome = Outcome::Error;
        else {
            result.outcome = Outcome::Crash;
            result.summary = "no verdict line for exit status " + std::to_string(code) + " (" + last + ")";
        }
    }
    return result;
}

std::string suite_of(const std::string& rom) {
    const size_t slash = rom.find('/');
    return slash == std::string::npos ? rom : rom.substr(0, slash);
}

std::string describe(const Row& row) { return row.rom + " [" + row.model + ", " + row.kind + "]"; }

// Rewrites the table with every passing row marked pass; comments, order and
// everything else stay as they were. Rows are never lowered.
bool raise_table(const fs::path& path, std::vector<std::string> lines, const std::vector<Row>& rows,
                 const std::vector<Result>& results, int& raised) {
    raised = 0;
    for (size_t i = 0; i < rows.size(); ++i) {
        if (rows[i].expect_pass || results[i].outcome != Outcome::Pass) continue;
        // The result is the fifth column; any options after it stay.
        std::string& text = lines[size_t(rows[i].line - 1)];
        size_t start = 0;
        for (int column = 0; column < 4 && start != std::string::npos; ++column) {
            start = text.find('\t', start);
            if (start != std::string::npos) ++start;
        }
        if (start == std::string::npos) continue;
        const size_t end = text.find('\t', start);
        text = text.substr(0, start) + "pass" + (end == std::string::npos ? "" : text.substr(end));
        ++raised;
    }
    const fs::path temp = path.string() + ".new";
    {
        std::ofstream out(temp);
        for (const auto& l : lines) out << l << '\n';
        if (!out) return false;
    }
    std::error_code ec;
    fs::rename(temp, path, ec);
    return !ec;
}

void print_usage() {
    std::cout << "usage: zembrix-conformance --runner PATH --table PATH [--jobs N] [--filter TEXT]\n"
                 "                           [--row-timeout SECONDS] [--verbose] [--raise]\n"
                 "  The ROM folder is taken from ZEMBRIX_TEST_ROMS; without it the run is skipped (77).\n"
                 "  --filter TEXT  run only rows whose ROM path contains TEXT\n"
                 "  --raise        mark every row that passes as 'pass' in the table\n";
}

}  // namespace

int main(int argc, char** argv) {
    std::string runner;
    fs::path table;
    std::string filter;
    unsigned jobs = std::max(1u, std::thread::hardware_concurrency());
    double row_timeout = 600;
    bool verbose = false;
    bool raise = false;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        auto value = [&]() -> std::string {
            if (i + 1 >= argc) {
                std::cout << "missing value after " << a << "\n";
                std::exit(2);
            }
            return argv[++i];
        };
        if (a == "--runner") {
            runner = value();
        } else if (a == "--table") {
            table = value();
        } else if (a == "--jobs") {
            jobs = unsigned(std::max(1, std::atoi(value().c_str())));
        } else if (a == "--filter") {
            filter = value();
        } else if (a == "--row-timeout") {
            row_timeout = std::max(1.0, std::atof(value().c_str()));
        } else if (a == "--verbose") {
            verbose = true;
        } else if (a == "--raise") {
            raise = true;
        } else {
            print_usage();
            return 2;
        }
    }
    if (runner.empty() || table.empty()) {
        print_usage();
        return 2;
    }

    const char* roms_env = std::getenv("ZEMBRIX_TEST_ROMS");
    if (!roms_env || !*roms_env) {
        std::cout << "ZEMBRIX_TEST_ROMS is not set: conformance suite skipped\n";
        return EXIT_SKIPPED;
    }
    const fs::path roms = roms_env;
    if (!fs::is_directory(roms)) {
        std::cout << "ZEMBRIX_TEST_ROMS=" << roms.string() << " is not a folder\n";
        return 2;
    }

    std::vector<Row> all_rows;
    std::vector<std::string> lines;
    std::string error;
    if (!read_table(table, all_rows, lines, error)) {
        std::cout << error << "\n";
        return 2;
    }
    std::vector<Row> rows;
    for (const auto& r : all_rows)
        if (filter.empty() || r.rom.find(filter) != std::string::npos) rows.push_back(r);

    // Longest rows first, so that the pool does not end waiting on one of them.
    std::vector<size_t> order(rows.size());
    for (size_t i = 0; i < order.size(); ++i) order[i] = i;
    std::stable_sort(order.begin(), order.end(), [&](size_t a, size_t b) { return rows[a].frames > rows[b].frames; });

    std::vector<Result> results(rows.size());
    std::atomic<size_t> next{0};
    std::mutex print_mutex;
    const auto start = std::chrono::steady_clock::now();
    std::vector<std::thread> pool;
    for (unsigned w = 0; w < std::min<size_t>(jobs, std::max<size_t>(rows.size(), 1)); ++w) {
        pool.emplace_back([&] {
            for (size_t k; (k = next.fetch_add(1)) < order.size();) {
                const size_t i = order[k];
                results[i] = run_row(runner, roms, rows[i], row_timeout);
                if (verbose) {
                    std::lock_guard<std::mutex> lock(print_mutex);
                    std::cout << outcome_name(results[i].outcome) << "\t" << describe(rows[i]) << "\t"
                              << results[i].summary << "\n"
                              << std::flush;
                }
            }
        });
    }
    for (auto& t : pool) t.join();
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();

    // Per suite: rows, passes, rows expected to pass.
    struct Count {
        int rows = 0, passed = 0, expected = 0;
    };
    std::map<std::string, Count> suites;
    int passed = 0, failed = 0;
    std::vector<std::string> regressions, new_passes, setup_errors, crashes;
    for (size_t i = 0; i < rows.size(); ++i) {
        const Row& row = rows[i];
        const Result& res = results[i];
        const bool ok = res.outcome == Outcome::Pass;
        Count& c = suites[suite_of(row.rom)];
        ++c.rows;
        c.passed += ok;
        c.expected += row.expect_pass;
        (ok ? passed : failed) += 1;
        if (res.outcome == Outcome::Error) {
            // The row could not be judged at all (missing ROM or reference,
            // unknown model, runner not executable): the table or the setup
            // is wrong, whatever the row expects.
            setup_errors.push_back("ERROR: " + describe(row) + " (line " + std::to_string(row.line) +
                                   "): " + res.summary);
        } else if (res.outcome == Outcome::Crash) {
            crashes.push_back("CRASH: " + describe(row) + " (line " + std::to_string(row.line) + "): " + res.summary);
        }
        if (row.expect_pass && !ok && res.outcome != Outcome::Crash) {
            std::string text = "REGRESSION: " + describe(row) + ": " + res.summary;
            if (res.outcome == Outcome::Timeout && !res.note.empty()) text += " (" + res.note + ")";
            regressions.push_back(text);
        } else if (!row.expect_pass && ok) {
            new_passes.push_back("NEW PASS: " + describe(row) + " \u2014 raise the table");
        }
    }

    for (const auto& s : new_passes) std::cout << s << "\n";
    for (const auto& s : crashes) std::cout << s << "\n";
    for (const auto& s : regressions) std::cout << s << "\n";
    for (const auto& s : setup_errors) std::cout << s << "\n";
    std::cout << "\nper suite (passed / rows, expected to pass):\n";
    for (const auto& [name, c] : suites)
        std::cout << "  " << name << ": " << c.passed << " / " << c.rows << ", expected " << c.expected << "\n";
    std::cout << "rows: " << rows.size() << ", regressions: " << regressions.size()
              << ", crashes: " << crashes.size() << ", rows that could not run: " << setup_errors.size()
              << ", new passes: " << new_passes.size() << ", wall time " << int(seconds + 0.5) << " s with " << jobs
              << " jobs\n";

    if (raise && !new_passes.empty()) {
        int raised = 0;
        if (!raise_table(table, lines, rows, results, raised)) {
            std::cout << "cannot rewrite " << table.string() << "\n";
            return 2;
        }
        std::cout << "raised " << raised << " rows in " << table.string() << "\n";
    }

    std::cout << "conformance: " << passed << " passed, " << failed << " failed" << std::endl;
    return regressions.empty() && setup_errors.empty() && crashes.empty() ? 0 : 1;
}
