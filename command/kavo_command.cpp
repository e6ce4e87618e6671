// The kavo command: gzip's conventions for compressing files, with the block pipeline. Its output
// is kavo.open()'s for the same data, level and block size, whatever the number of threads.
#include <sys/stat.h>
#include <sys/types.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#include <sys/utime.h>
#define kavo_isatty _isatty
#define kavo_fileno _fileno
#else
#include <fcntl.h>
#include <sys/time.h>
#include <unistd.h>
#define kavo_isatty isatty
#define kavo_fileno fileno
#endif

#include "stream_writer.h"

#ifndef KAVO_VERSION
#define KAVO_VERSION "unknown"
#endif

namespace {

enum exit_code { OK = 0, ERROR = 1, WARNING = 2 };

struct options {
    bool to_stdout = false, force = false, keep = false, quiet = false, verbose = false;
    int level = 1;
    int threads = 0;  // every core
    size_t block_size = size_t(1) << 20;
    std::string suffix = ".gz";
    std::vector<std::string> files;
};

const char *const USAGE =
    "Usage: kavo [OPTION]... [FILE]...\n"
    "Compress each FILE to FILE.gz (gzip format) and remove FILE; with no FILE, or when FILE is -,\n"
    "compress standard input to standard output. The output is the same for any number of threads.\n"
    "\n"
    "  -c, --stdout         write to standard output, keep the input files\n"
    "  -f, --force          overwrite output files, write to a terminal\n"
    "  -k, --keep           keep the input files\n"
    "  -S, --suffix=SUF     use suffix SUF instead of .gz\n"
    "  -0, -1 ... -9        -0 stores, every other level compresses (kavo has one compressing mode)\n"
    "  -T, --threads=N      compress on N threads (default 0: every core)\n"
    "  -b, --block-size=N   bytes per block, with an optional K or M suffix (default 1M)\n"
    "  -q, --quiet          no warnings\n"
    "  -v, --verbose        print the ratio and speed of each file\n"
    "  -h, --help           print this help\n"
    "  -V, --version        print the version\n"
    "\n"
    "kavo only compresses: use gzip -d to decompress.\n";

std::string program = "kavo";

void say(const std::string &what) { std::fprintf(stderr, "%s: %s\n", program.c_str(), what.c_str()); }

[[noreturn]] void usage_error(const std::string &what) {
    say(what);
    std::fprintf(stderr, "Try '%s --help' for more information.\n", program.c_str());
    std::exit(ERROR);
}

size_t parse_size(const std::string &text, const char *what) {
    char *end = nullptr;
    errno = 0;
    const unsigned long long v = std::strtoull(text.c_str(), &end, 10);
    unsigned long long scale = 1;
    if (end && (*end == 'K' || *end == 'k'))
        scale = 1024, ++end;
    else if (end && (*end == 'M' || *end == 'm'))
        scale = 1024 * 1024, ++end;
    if (text.empty() || text[0] == '-' || errno || !end || *end || v > (1ull << 30) / scale)
        usage_error(std::string("invalid ") + what + ": '" + text + "'");
    return size_t(v * scale);
}

options parse(int argc, char **argv) {
    options o;
    bool files_only = false;
    auto value = [&](int &i, const std::string &arg, size_t at, const char *name) -> std::string {
        if (at < arg.size())
            return arg.substr(at);
        if (i + 1 >= argc)
            usage_error(std::string("option requires an argument -- '") + name + "'");
        return argv[++i];
    };
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (files_only || arg == "-" || arg.empty() || arg[0] != '-') {
            o.files.push_back(arg);
        } else if (arg == "--") {
            files_only = true;
        } else if (arg.compare(0, 2, "--") == 0) {
            const size_t eq = arg.find('=');
            const std::string name = arg.substr(2, eq == std::string::npos ? std::string::npos : eq - 2);
            auto long_value = [&]() -> std::string {
                if (eq != std::string::npos)
                    return arg.substr(eq + 1);
                if (i + 1 >= argc)
                    usage_error("option '--" + name + "' requires an argument");
                return argv[++i];
            };
            if (name == "stdout" || name == "to-stdout")
                o.to_stdout = true;
            else if (name == "force")
                o.force = true;
            else if (name == "keep")
                o.keep = true;
            else if (name == "quiet")
                o.quiet = true, o.verbose = false;
            else if (name == "verbose")
                o.verbose = true, o.quiet = false;
            else if (name == "suffix")
                o.suffix = long_value();
            else if (name == "threads")
                o.threads = int(parse_size(long_value(), "number of threads"));
            else if (name == "block-size")
                o.block_size = parse_size(long_value(), "block size");
            else if (name == "fast")
                o.level = 1;
            else if (name == "help")
                std::fputs(USAGE, stdout), std::exit(OK);
            else if (name == "version")
                std::printf("kavo %s\n", KAVO_VERSION), std::exit(OK);
            else if (name == "decompress" || name == "uncompress")
                usage_error("kavo only compresses: use gzip -d to decompress");
            else
                usage_error("unrecognized option '" + arg + "'");
        } else {
            for (size_t k = 1; k < arg.size(); ++k) {
                const char c = arg[k];
                if (c >= '0' && c <= '9') {
                    o.level = c == '0' ? 0 : 1;
                } else if (c == 'c') {
                    o.to_stdout = true;
                } else if (c == 'f') {
                    o.force = true;
                } else if (c == 'k') {
                    o.keep = true;
                } else if (c == 'q') {
                    o.quiet = true, o.verbose = false;
                } else if (c == 'v') {
                    o.verbose = true, o.quiet = false;
                } else if (c == 'h') {
                    std::fputs(USAGE, stdout);
                    std::exit(OK);
                } else if (c == 'V') {
                    std::printf("kavo %s\n", KAVO_VERSION);
                    std::exit(OK);
                } else if (c == 'd') {
                    usage_error("kavo only compresses: use gzip -d to decompress");
                } else if (c == 'S' || c == 'T' || c == 'b') {
                    const std::string v = value(i, arg, k + 1, std::string(1, c).c_str());
                    if (c == 'S')
                        o.suffix = v;
                    else if (c == 'T')
                        o.threads = int(parse_size(v, "number of threads"));
                    else
                        o.block_size = parse_size(v, "block size");
                    break;
                } else {
                    usage_error(std::string("invalid option -- '") + c + "'");
                }
            }
        }
    }
    if (o.suffix.empty())
        usage_error("invalid suffix ''");
    if (o.block_size == 0)
        usage_error("invalid block size: '0'");
    if (o.threads == 0) {
        const unsigned n = std::thread::hardware_concurrency();
        o.threads = n ? int(n) : 1;
    }
    if (o.threads > 256)
        o.threads = 256;
    return o;
}

// A bar on stderr for long inputs, when someone is watching.
struct progress {
    long long total;
    bool shown;
    int last = -1;
    progress(long long size) : total(size), shown(size > 300LL * 1000 * 1000 && kavo_isatty(kavo_fileno(stderr))) {}
    void update(long long done) {
        if (!shown)
            return;
        const int pct = int(done * 100 / total);
        if (pct == last)
            return;
        last = pct;
        std::fprintf(stderr, "\r[%-50s] %3d%%", std::string(size_t(pct / 2), '#').c_str(), pct);
        if (pct == 100)
            std::fputc('\n', stderr);
    }
};

struct file_error : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// Compresses in to out; returns the bytes read and written.
std::pair<long long, long long> compress_stream(std::FILE *in, std::FILE *out, const options &o, long long size,
                                                const std::string &out_name) {
    long long written = 0, done = 0;
    kavo::stream_writer writer(o.level, KAVO_FMT_GZIP, o.threads, o.block_size,
                               [&](const uint8_t *p, size_t n) {
                                   if (n && std::fwrite(p, 1, n, out) != n)
                                       throw file_error(out_name + ": " + std::strerror(errno));
                                   written += (long long)n;
                               },
                               [](const std::function<void()> &f) { f(); });
    progress bar(size);
    std::vector<uint8_t> buf(size_t(1) << 20);
    for (;;) {
        const size_t n = std::fread(buf.data(), 1, buf.size(), in);
        if (n > 0) {
            writer.write(buf.data(), n);
            done += (long long)n;
            bar.update(done);
        }
        if (n < buf.size()) {
            if (std::ferror(in))
                throw file_error(std::strerror(errno));
            break;
        }
    }
    writer.finish();
    writer.stop();
    if (std::fflush(out) != 0)
        throw file_error(out_name + ": " + std::strerror(errno));
    return {done, written};
}

void report(const options &o, const std::string &name, std::pair<long long, long long> sizes, double seconds) {
    if (!o.verbose)
        return;
    const double saved = sizes.first ? 100.0 * (1.0 - double(sizes.second) / double(sizes.first)) : 0.0;
    std::fprintf(stderr, "%s:\t%5.1f%% saved, %.1f MB/s\n", name.c_str(), saved,
                 seconds > 0 ? double(sizes.first) / seconds / 1e6 : 0.0);
}

void set_binary(std::FILE *f) {
#ifdef _WIN32
    _setmode(_fileno(f), _O_BINARY);
#else
    (void)f;
#endif
}

// Gives the output the input's permission bits and times, as gzip does.
void copy_attributes(const std::string &from_name, const struct stat &from, const std::string &to) {
#ifdef _WIN32
    (void)from_name;
    struct _utimbuf times = {from.st_atime, from.st_mtime};
    _utime(to.c_str(), &times);
    _chmod(to.c_str(), from.st_mode & (_S_IREAD | _S_IWRITE));
#else
    (void)from_name;
    struct timespec times[2];
#if defined(__APPLE__)
    times[0] = from.st_atimespec;
    times[1] = from.st_mtimespec;
#else
    times[0] = from.st_atim;
    times[1] = from.st_mtim;
#endif
    utimensat(AT_FDCWD, to.c_str(), times, 0);
    chmod(to.c_str(), from.st_mode & 07777);
#endif
}

int compress_file(const std::string &name, const options &o) {
    const auto started = std::chrono::steady_clock::now();
    if (name == "-") {
        if (!o.force && kavo_isatty(kavo_fileno(stdout))) {
            say("compressed data not written to a terminal. Use -f to force compression.");
            return ERROR;
        }
        set_binary(stdin);
        set_binary(stdout);
        try {
            const auto sizes = compress_stream(stdin, stdout, o, 0, "stdout");
            report(o, "stdin", sizes, std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count());
        } catch (const std::exception &e) {
            say(e.what());
            return ERROR;
        }
        return OK;
    }
    struct stat st;
    if (stat(name.c_str(), &st) != 0) {
        say(name + ": " + std::strerror(errno));
        return ERROR;
    }
    if ((st.st_mode & S_IFMT) != S_IFREG) {
        if (!o.quiet)
            say(name + " is not a regular file -- ignored");
        return WARNING;
    }
    if (name.size() >= o.suffix.size() && name.compare(name.size() - o.suffix.size(), o.suffix.size(), o.suffix) == 0) {
        if (!o.quiet)
            say(name + " already has " + o.suffix + " suffix -- unchanged");
        return WARNING;
    }
    std::FILE *in = std::fopen(name.c_str(), "rb");
    if (!in) {
        say(name + ": " + std::strerror(errno));
        return ERROR;
    }
    if (o.to_stdout) {
        if (!o.force && kavo_isatty(kavo_fileno(stdout))) {
            std::fclose(in);
            say("compressed data not written to a terminal. Use -f to force compression.");
            return ERROR;
        }
        set_binary(stdout);
        int code = OK;
        try {
            const auto sizes = compress_stream(in, stdout, o, (long long)st.st_size, "stdout");
            report(o, name, sizes, std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count());
        } catch (const std::exception &e) {
            say(name + ": " + e.what());
            code = ERROR;
        }
        std::fclose(in);
        return code;
    }
    const std::string out_name = name + o.suffix;
    struct stat existing;
    if (!o.force && stat(out_name.c_str(), &existing) == 0) {
        std::fclose(in);
        say(out_name + " already exists; use -f to overwrite");
        return ERROR;
    }
    std::FILE *out = std::fopen(out_name.c_str(), "wb");
    if (!out) {
        std::fclose(in);
        say(out_name + ": " + std::strerror(errno));
        return ERROR;
    }
    int code = OK;
    try {
        const auto sizes = compress_stream(in, out, o, (long long)st.st_size, out_name);
        report(o, name, sizes, std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count());
    } catch (const std::exception &e) {
        say(e.what());
        code = ERROR;
    }
    std::fclose(in);
    if (std::fclose(out) != 0 && code == OK) {
        say(out_name + ": " + std::strerror(errno));
        code = ERROR;
    }
    if (code != OK) {
        std::remove(out_name.c_str());  // no half-written file left behind as if it were whole
        return code;
    }
    copy_attributes(name, st, out_name);
    if (!o.keep && std::remove(name.c_str()) != 0) {
        say(name + ": " + std::strerror(errno));
        return ERROR;
    }
    return OK;
}

}  // namespace

int main(int argc, char **argv) {
    const options o = parse(argc, argv);
    std::vector<std::string> files = o.files;
    if (files.empty())
        files.push_back("-");
    int code = OK;
    for (const std::string &f : files) {
        const int c = compress_file(f, o);
        if (c == ERROR || (c == WARNING && code == OK))
            code = c;
    }
    return code;
}
