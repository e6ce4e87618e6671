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

#include "options.h"
#include "stream_writer.h"

#ifndef KAVO_VERSION
#define KAVO_VERSION "unknown"
#endif

namespace {

enum exit_code { OK = 0, ERROR = 1, WARNING = 2 };

struct options {
    bool to_stdout = false, force = false, keep = false, quiet = false, verbose = false;
    int level = 1;  // as given: -0 stores, every other level compresses (options.h)
    int threads = 0;
    size_t block_size = kavo::DEFAULT_BLOCK_SIZE;
    bool block_size_given = false;
    bool bgzf = false, index = false;  // --bgzf, and its .gzi index beside each output
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
    "      --fast, --best   -1 and -9\n"
    "  -l, --level=N        level N: -1 or 0 to 9, as the digits\n"
    "  -T, --threads=N      compress on N threads (default 0: every core)\n"
    "  -b, --block-size=N   bytes per block, with an optional K or M suffix (default 1M; not with --bgzf)\n"
    "      --bgzf           write BGZF (blocked gzip, as bgzip): members of 65280 input bytes\n"
    "  -i, --index          with --bgzf, also write the BGZF index FILE.gz.gzi\n"
    "  -@ N                 the same as -T N (bgzip's spelling)\n"
    "  -q, --quiet          no warnings\n"
    "  -v, --verbose        print the ratio and speed of each file\n"
    "  -h, --help           print this help\n"
    "  -V, --version        print the version\n"
    "\n"
    "kavo only compresses: use gzip -d or bgzip -d to decompress. Of bgzip's options kavo takes\n"
    "-c -f -k -i -l N -@ N and --compress-level; the others are refused.\n";

std::string program = "kavo";

void say(const std::string &what) { std::fprintf(stderr, "%s: %s\n", program.c_str(), what.c_str()); }

[[noreturn]] void usage_error(const std::string &what) {
    say(what);
    std::fprintf(stderr, "Try '%s --help' for more information.\n", program.c_str());
    std::exit(ERROR);
}

// A count with an optional K or M suffix; refused unless it is a whole number up to 2^30.
bool parse_count(const std::string &text, unsigned long long *value) {
    char *end = nullptr;
    errno = 0;
    const unsigned long long v = std::strtoull(text.c_str(), &end, 10);
    unsigned long long scale = 1;
    if (end && (*end == 'K' || *end == 'k'))
        scale = 1024, ++end;
    else if (end && (*end == 'M' || *end == 'm'))
        scale = 1024 * 1024, ++end;
    if (text.empty() || text[0] < '0' || text[0] > '9' || errno || !end || *end || v > (1ull << 30) / scale)
        return false;
    *value = v * scale;
    return true;
}

void set_threads(options &o, const std::string &v) {
    unsigned long long n = 0;
    const int threads = parse_count(v, &n) ? kavo::resolve_threads((long long)n) : 0;
    if (threads == 0)
        usage_error("invalid number of threads: '" + v + "' (" + kavo::THREADS_RULE + ")");
    o.threads = threads;
}

void set_level(options &o, const std::string &v) {
    char *end = nullptr;
    errno = 0;
    const long level = std::strtol(v.c_str(), &end, 10);
    if (v.empty() || errno || !end || *end || !kavo::level_is_valid(level))
        usage_error("invalid compression level: '" + v + "' (" + kavo::LEVEL_RULE + ")");
    o.level = int(level);
}

void set_block_size(options &o, const std::string &v) {
    unsigned long long n = 0;
    if (!parse_count(v, &n) || !kavo::block_size_is_valid((long long)n))
        usage_error("invalid block size: '" + v + "' (" + kavo::BLOCK_SIZE_RULE + ")");
    o.block_size = size_t(n);
    o.block_size_given = true;
}

// bgzip's options that read, test or re-index files: kavo writes new files only, so it names the
// tool that does what was asked rather than ignore the option.
[[noreturn]] void bgzip_only(const std::string &what) { usage_error("kavo only compresses: " + what); }

[[noreturn]] void print_and_exit(const std::string &text) {
    std::fputs(text.c_str(), stdout);
    std::exit(OK);
}

// Every option but the level digits, by its short and long names: one table for both spellings.
struct option_entry {
    char short_name;        // 0: long form only
    const char *long_name;  // null: short form only
    bool takes_value;
    void (*apply)(options &, const std::string &value);
};

const option_entry OPTIONS[] = {
    {'c', "stdout", false, [](options &o, const std::string &) { o.to_stdout = true; }},
    {0, "to-stdout", false, [](options &o, const std::string &) { o.to_stdout = true; }},
    {'f', "force", false, [](options &o, const std::string &) { o.force = true; }},
    {'k', "keep", false, [](options &o, const std::string &) { o.keep = true; }},
    {'q', "quiet", false, [](options &o, const std::string &) { o.quiet = true, o.verbose = false; }},
    {'v', "verbose", false, [](options &o, const std::string &) { o.verbose = true, o.quiet = false; }},
    {'S', "suffix", true, [](options &o, const std::string &v) { o.suffix = v; }},
    {'l', "level", true, set_level},
    {'T', "threads", true, set_threads},
    {'b', "block-size", true, set_block_size},
    {0, "bgzf", false, [](options &o, const std::string &) { o.bgzf = true; }},
    {'i', "index", false, [](options &o, const std::string &) { o.index = true; }},
    {'@', nullptr, true, set_threads},
    {0, "compress-level", true, set_level},
    {0, "offset", true, [](options &, const std::string &) { bgzip_only("use bgzip -b to decompress from an offset"); }},
    {'s', "size", true, [](options &, const std::string &) { bgzip_only("use bgzip -s to decompress a range"); }},
    {'t', "test", false, [](options &, const std::string &) { bgzip_only("use bgzip -t or gzip -t to test a file"); }},
    {'r', "reindex", false, [](options &, const std::string &) { bgzip_only("use bgzip -r to index an existing BGZF file"); }},
    {'g', "rebgzip", false, [](options &, const std::string &) { bgzip_only("it does not copy another file's blocks (bgzip -g)"); }},
    {'I', "index-name", true, [](options &, const std::string &) { usage_error("kavo names the index FILE.gz.gzi: -I/--index-name is not taken"); }},
    {0, "fast", false, [](options &o, const std::string &) { o.level = 1; }},
    {0, "best", false, [](options &o, const std::string &) { o.level = 9; }},
    {'h', "help", false, [](options &, const std::string &) { print_and_exit(USAGE); }},
    {'V', "version", false, [](options &, const std::string &) { print_and_exit(std::string("kavo ") + KAVO_VERSION + "\n"); }},
    {'d', "decompress", false, [](options &, const std::string &) { usage_error("kavo only compresses: use gzip -d to decompress"); }},
    {0, "uncompress", false, [](options &, const std::string &) { usage_error("kavo only compresses: use gzip -d to decompress"); }},
};

const option_entry *find_short(char c) {
    for (const option_entry &entry : OPTIONS)
        if (entry.short_name == c)
            return &entry;
    return nullptr;
}

const option_entry *find_long(const std::string &name) {
    for (const option_entry &entry : OPTIONS)
        if (entry.long_name && name == entry.long_name)
            return &entry;
    return nullptr;
}

options parse(int argc, char **argv) {
    options o;
    bool files_only = false;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (files_only || arg == "-" || arg.empty() || arg[0] != '-') {
            o.files.push_back(arg);
        } else if (arg == "--") {
            files_only = true;
        } else if (arg.compare(0, 2, "--") == 0) {
            const size_t eq = arg.find('=');
            const std::string name = arg.substr(2, eq == std::string::npos ? std::string::npos : eq - 2);
            const option_entry *entry = find_long(name);
            if (!entry)
                usage_error("unrecognized option '" + arg + "'");
            std::string value;
            if (entry->takes_value) {
                if (eq != std::string::npos)
                    value = arg.substr(eq + 1);
                else if (i + 1 < argc)
                    value = argv[++i];
                else
                    usage_error("option '--" + name + "' requires an argument");
            } else if (eq != std::string::npos) {
                usage_error("option '--" + name + "' doesn't allow an argument");
            }
            entry->apply(o, value);
        } else {
            for (size_t k = 1; k < arg.size(); ++k) {
                const char c = arg[k];
                if (c >= '0' && c <= '9') {
                    o.level = c - '0';
                    continue;
                }
                const option_entry *entry = find_short(c);
                if (!entry)
                    usage_error(std::string("invalid option -- '") + c + "'");
                if (!entry->takes_value) {
                    entry->apply(o, "");
                    continue;
                }
                // The value is the rest of this argument, or the next one.
                if (k + 1 < arg.size())
                    entry->apply(o, arg.substr(k + 1));
                else if (i + 1 < argc)
                    entry->apply(o, argv[++i]);
                else
                    usage_error(std::string("option requires an argument -- '") + c + "'");
                break;
            }
        }
    }
    if (o.suffix.empty())
        usage_error("invalid suffix ''");
    if (o.bgzf && o.block_size_given)
        usage_error("BGZF members hold 65280 bytes each: -b/--block-size does not go with --bgzf "
                    "(bgzip's -b OFFSET decompresses: use bgzip -b)");
    if (o.index && !o.bgzf)
        usage_error("-i/--index writes the index of a BGZF file: it needs --bgzf");
    if (o.index) {
        bool to_stdout = o.to_stdout || o.files.empty();
        for (const std::string &f : o.files)
            to_stdout = to_stdout || f == "-";
        if (to_stdout)
            usage_error("-i/--index writes FILE.gz.gzi beside FILE.gz: not with standard output");
    }
    if (o.threads == 0)
        o.threads = kavo::resolve_threads(0);
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

// Compresses in to out; returns the bytes read and written, and with --bgzf the index into *gzi.
// Errors name the file they came from.
std::pair<long long, long long> compress_stream(std::FILE *in, std::FILE *out, const options &o, long long size,
                                                const std::string &in_name, const std::string &out_name,
                                                std::vector<uint8_t> *gzi) {
    long long written = 0, done = 0;
    kavo::writer_settings settings;
    settings.level = kavo::engine_level(o.level);
    settings.threads = o.threads;
    settings.block_size = o.block_size;
    settings.bgzf = o.bgzf;
    kavo::stream_writer writer(settings,
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
                throw file_error(in_name + ": " + std::strerror(errno));
            break;
        }
    }
    writer.finish();
    writer.stop();
    if (std::fflush(out) != 0)
        throw file_error(out_name + ": " + std::strerror(errno));
    if (gzi)
        *gzi = writer.gzi_bytes();
    return {done, written};
}

// One input to one output, with the ratio and speed reported where asked: OK, or ERROR with the
// reason said.
int compress_reported(std::FILE *in, std::FILE *out, const options &o, long long size, const std::string &in_name,
                      const std::string &out_name, std::vector<uint8_t> *gzi = nullptr) {
    const auto started = std::chrono::steady_clock::now();
    try {
        const auto sizes = compress_stream(in, out, o, size, in_name, out_name, gzi);
        if (o.verbose) {
            const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
            const double saved = sizes.first ? 100.0 * (1.0 - double(sizes.second) / double(sizes.first)) : 0.0;
            std::fprintf(stderr, "%s:\t%5.1f%% saved, %.1f MB/s\n", in_name.c_str(), saved,
                         seconds > 0 ? double(sizes.first) / seconds / 1e6 : 0.0);
        }
        return OK;
    } catch (const std::exception &e) {
        say(e.what());
        return ERROR;
    }
}

// Standard output as the compressed stream, unless it is a terminal and -f was not given.
bool stdout_usable(const options &o) {
    if (!o.force && kavo_isatty(kavo_fileno(stdout))) {
        say("compressed data not written to a terminal. Use -f to force compression.");
        return false;
    }
    return true;
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

// Writes bytes as the file name; says why not and returns false on failure.
bool write_whole(const std::string &name, const std::vector<uint8_t> &bytes) {
    std::FILE *f = std::fopen(name.c_str(), "wb");
    bool ok = f && std::fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
    if (f && std::fclose(f) != 0)
        ok = false;
    if (!ok)
        say(name + ": " + std::strerror(errno));
    return ok;
}

int compress_file(const std::string &name, const options &o) {
    if (name == "-") {
        if (!stdout_usable(o))
            return ERROR;
        set_binary(stdin);
        set_binary(stdout);
        return compress_reported(stdin, stdout, o, 0, "stdin", "stdout");
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
    if (o.to_stdout && !stdout_usable(o))
        return ERROR;
    const std::string out_name = name + o.suffix;
    const std::string index_name = out_name + ".gzi";
    struct stat existing;
    if (!o.to_stdout && !o.force && stat(out_name.c_str(), &existing) == 0) {
        say(out_name + " already exists; use -f to overwrite");
        return ERROR;
    }
    if (o.index && !o.force && stat(index_name.c_str(), &existing) == 0) {
        say(index_name + " already exists; use -f to overwrite");
        return ERROR;
    }
    std::FILE *in = std::fopen(name.c_str(), "rb");
    if (!in) {
        say(name + ": " + std::strerror(errno));
        return ERROR;
    }
    if (o.to_stdout) {
        set_binary(stdout);
        const int code = compress_reported(in, stdout, o, (long long)st.st_size, name, "stdout");
        std::fclose(in);
        return code;
    }
    std::FILE *out = std::fopen(out_name.c_str(), "wb");
    if (!out) {
        std::fclose(in);
        say(out_name + ": " + std::strerror(errno));
        return ERROR;
    }
    std::vector<uint8_t> gzi;
    int code = compress_reported(in, out, o, (long long)st.st_size, name, out_name, o.index ? &gzi : nullptr);
    std::fclose(in);
    if (std::fclose(out) != 0 && code == OK) {
        say(out_name + ": " + std::strerror(errno));
        code = ERROR;
    }
    // The index only once the whole file is written, so that it never points past its end.
    if (code == OK && o.index && !write_whole(index_name, gzi)) {
        std::remove(index_name.c_str());
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
