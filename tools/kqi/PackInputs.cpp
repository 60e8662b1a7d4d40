#include "tools/kqi/PackInputs.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <map>

#include "InstCompress/Exceptions.h"
#include "InstCompress/InstCompress.h"

#ifndef _WIN32
#include <unistd.h>
#endif

namespace kq::tools {

namespace fs = std::filesystem;

namespace {

std::string Slashes(std::string text) {
    std::replace(text.begin(), text.end(), '/', '\\');
    return text;
}

char Lower(char c) {
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

bool GlobFrom(std::string_view p, std::string_view s) {
    // Iterative match with one backtrack point for the last '*'.
    size_t pi = 0, si = 0, star = std::string_view::npos, mark = 0;
    while (si < s.size()) {
        if (pi < p.size() && (p[pi] == '?' || Lower(p[pi]) == Lower(s[si]))) {
            ++pi;
            ++si;
        } else if (pi < p.size() && p[pi] == '*') {
            star = pi++;
            mark = si;
        } else if (star != std::string_view::npos) {
            pi = star + 1;
            si = ++mark;
        } else {
            return false;
        }
    }
    while (pi < p.size() && p[pi] == '*') ++pi;
    return pi == p.size();
}

bool IsInside(const fs::path& inner, const fs::path& outer) {
    auto o = outer.begin();
    auto i = inner.begin();
    for (; o != outer.end(); ++o, ++i) {
        if (i == inner.end() || *i != *o) return false;
    }
    return true;
}

class TreeWalker {
public:
    TreeWalker(const InputOptions& options, std::vector<InputFile>& out) : options_(options), out_(out) {}

    void AddSpec(const InputSpec& spec) {
        std::error_code error;
        const fs::path given = PathFromUtf8(spec.path);
        const fs::file_status status = fs::status(given, error);
        if (status.type() == fs::file_type::directory) {
            root_ = fs::canonical(given, error);
            if (error) throw ToolError(spec.path + ": " + error.message());
            ancestors_ = {root_};
            Walk(given, spec.name);
            return;
        }
        if (status.type() == fs::file_type::not_found && fs::is_symlink(fs::symlink_status(given, error))) {
            throw ToolError(spec.path + ": a link to nothing (dangling)");
        }
        AddFile(spec.path, spec.name);
    }

private:
    void AddFile(const std::string& path, const std::string& name) {
        std::error_code error;
        const fs::path native = PathFromUtf8(path);
        const fs::file_status status = fs::status(native, error);
        if (status.type() == fs::file_type::not_found || error) {
            const int code = error ? error.value() : ENOENT;
            throw ReasonedError("EFileOpenError",
                                CannotOpenFileMessage(path) + " (" + FileProblem(path, code) + ")");
        }
        if (status.type() != fs::file_type::regular) {
            throw ReasonedError("EFileOpenError",
                                CannotOpenFileMessage(path) + " (" +
                                    (status.type() == fs::file_type::directory ? std::strerror(EISDIR)
                                                                               : "not a regular file") +
                                    ")");
        }
#ifndef _WIN32
        if (::access(path.c_str(), R_OK) != 0) {
            throw ReasonedError("EFileOpenError",
                                CannotOpenFileMessage(path) + " (" + std::strerror(errno) + ")");
        }
#endif
        const auto size = static_cast<int64_t>(fs::file_size(native, error));
        if (error) throw ToolError(path + ": " + error.message());
        if (size > kMaxEntrySize)
            throw ToolError(path + ": larger than 2147483647 bytes, which an entry cannot hold");
        InputFile file{name, path, size, options_.method, false};
        for (const MethodRule& rule : options_.rules) {
            if (GlobMatch(rule.pattern, name)) {
                file.method = rule.method;
                file.explicitMethod = true;
            }
        }
        out_.push_back(std::move(file));
    }

    // A link is a problem to report, or to skip with --skip-links.
    void LinkProblem(const fs::path& path, const std::string& what) {
        if (!options_.skipLinks)
            throw ToolError(Utf8FromPath(path) + ": " + what +
                            " (give --skip-links to leave such links out)");
        std::fprintf(stderr, "kqi: skipped %s: %s\n", Utf8FromPath(path).c_str(), what.c_str());
    }

    void Walk(const fs::path& dir, const std::string& name) {
        std::vector<fs::path> children;
        std::error_code error;
        for (fs::directory_iterator it(dir, error), end; !error && it != end; it.increment(error)) {
            children.push_back(it->path());
        }
        if (error) throw ToolError(Utf8FromPath(dir) + ": " + error.message());
        std::sort(children.begin(), children.end());
        for (const fs::path& child : children) {
            const std::string leaf = Utf8FromPath(child.filename());
            if (leaf.find('\\') != std::string::npos) {
                throw ToolError(Utf8FromPath(child) + ": a '\\' in a file name would split the entry name");
            }
            const std::string childName = name + "\\" + leaf;
            const fs::file_status own = fs::symlink_status(child, error);
            if (error) throw ToolError(Utf8FromPath(child) + ": " + error.message());
            if (own.type() == fs::file_type::directory) {
                ancestors_.push_back(fs::canonical(child, error));
                Walk(child, childName);
                ancestors_.pop_back();
                continue;
            }
            if (own.type() != fs::file_type::symlink) {
                AddFile(Utf8FromPath(child), childName);
                continue;
            }
            const fs::file_status target = fs::status(child, error);
            if (error && error.value() == ELOOP) {
                LinkProblem(child, "a link loop");
                continue;
            }
            if (target.type() == fs::file_type::not_found) {
                LinkProblem(child, "a link to nothing (dangling)");
                continue;
            }
            if (target.type() != fs::file_type::directory) {
                AddFile(Utf8FromPath(child), childName);  // the target's bytes under the link's name
                continue;
            }
            const fs::path resolved = fs::canonical(child, error);
            if (error) {
                LinkProblem(child, error.value() == ELOOP ? "a link loop" : error.message());
                continue;
            }
            if (std::find(ancestors_.begin(), ancestors_.end(), resolved) != ancestors_.end()) {
                LinkProblem(child, "a link loop: it leads back to " + Utf8FromPath(resolved));
                continue;
            }
            if (!IsInside(resolved, root_)) {
                LinkProblem(child, "a link to a folder outside the tree (" + Utf8FromPath(resolved) + ")");
                continue;
            }
            ancestors_.push_back(resolved);
            Walk(child, childName);
            ancestors_.pop_back();
        }
    }

    const InputOptions& options_;
    std::vector<InputFile>& out_;
    fs::path root_;
    std::vector<fs::path> ancestors_;
};

}  // namespace

std::optional<InputSpec> ParseInputSpec(const std::string& spec) {
    const size_t equals = spec.find('=');
    if (equals == std::string::npos || equals == 0 || equals + 1 == spec.size()) return std::nullopt;
    return InputSpec{Slashes(spec.substr(0, equals)), spec.substr(equals + 1)};
}

std::optional<MethodRule> ParseMethodRule(const std::string& text) {
    const size_t equals = text.rfind('=');
    if (equals == std::string::npos || equals == 0) return std::nullopt;
    const auto method = ParsePackMethod(std::string_view(text).substr(equals + 1));
    if (!method) return std::nullopt;
    return MethodRule{Slashes(text.substr(0, equals)), *method};
}

bool GlobMatch(std::string_view pattern, std::string_view name) {
    const std::string p = Slashes(std::string(pattern));
    if (p.find('\\') == std::string::npos) {
        const size_t slash = name.rfind('\\');
        if (slash != std::string_view::npos) name = name.substr(slash + 1);
    }
    return GlobFrom(p, name);
}

std::string EntryNameProblem(std::string_view name) {
    if (name.empty()) return "an empty name";
    for (const char c : name) {
        const auto u = static_cast<unsigned char>(c);
        if (u < 0x20 || u == 0x7F) return "a control character";
    }
    if (name.front() == '\\' || name.front() == '/') return "an absolute path";
    if (name.size() >= 2 && name[1] == ':' &&
        ((name[0] >= 'A' && name[0] <= 'Z') || (name[0] >= 'a' && name[0] <= 'z'))) {
        return "a drive letter";
    }
    size_t start = 0;
    while (true) {
        const size_t end = name.find_first_of("\\/", start);
        const std::string_view part =
            name.substr(start, end == std::string_view::npos ? std::string_view::npos : end - start);
        if (part.empty()) return "an empty part";
        if (part == "." || part == "..") return "a '" + std::string(part) + "' part";
        if (end == std::string_view::npos) break;
        start = end + 1;
    }
    return "";
}

std::vector<InputFile> CollectInputs(const std::vector<InputSpec>& specs, const InputOptions& options) {
    std::vector<InputFile> files;
    TreeWalker walker(options, files);
    for (const InputSpec& spec : specs) walker.AddSpec(spec);

    std::map<std::string, const InputFile*> seen;
    int64_t total = 0;
    for (const InputFile& file : files) {
        if (const std::string problem = EntryNameProblem(file.name); !problem.empty()) {
            throw ToolError("entry name '" + Printable(file.name) + "' (from " + file.path + ") has " +
                            problem);
        }
        if (file.name.size() > kMaxEntryNameLength)
            throw ToolError("entry name longer than 32767 bytes: " + file.path);
        const auto [it, fresh] = seen.emplace(FoldEntryName(file.name), &file);
        if (!fresh && !options.allowDuplicates) {
            throw ToolError("entries '" + Printable(it->second->name) + "' (from " + it->second->path +
                            ") and '" + Printable(file.name) + "' (from " + file.path +
                            ") have the same name for the reader, which would expand them as one file; give "
                            "--allow-duplicates if that is wanted");
        }
        total += file.size;
    }
    if (total > kMaxEntrySize) {
        throw ToolError("archive contents exceed 2147483647 bytes in all (" + std::to_string(total) +
                        " bytes given)");
    }
    return files;
}

std::vector<PackEntry> ToPackEntries(const std::vector<InputFile>& files) {
    std::vector<PackEntry> entries;
    entries.reserve(files.size());
    for (const InputFile& file : files) {
        const std::string path = file.path;
        entries.push_back(
            PackEntry{file.name, file.size,
                      [path] { return std::unique_ptr<TStream>(OpenFile(path, FileMode::OpenReadShared)); },
                      file.method, !file.explicitMethod, std::nullopt});
    }
    return entries;
}

void CheckOutputPath(const std::string& out, const std::vector<std::string>& inputs) {
    std::error_code error;
    const fs::path path = PathFromUtf8(out);
    if (fs::is_directory(path, error)) throw ToolError("cannot write " + out + ": it is a folder");
    const fs::path parent = path.parent_path().empty() ? fs::path(".") : path.parent_path();
    if (!fs::is_directory(parent, error))
        throw ToolError("cannot write " + out + ": there is no folder " + Utf8FromPath(parent));
    if (!fs::exists(path, error)) return;
    for (const std::string& input : inputs) {
        if (fs::equivalent(path, PathFromUtf8(input), error)) {
            throw ToolError("cannot write " + out + ": it is also an input (" + input + ")");
        }
    }
}

InputOptions InputOptionsFrom(const ParsedArgs& args) {
    InputOptions options;
    options.method = MethodOption(args);
    for (const std::string& text : args.All("method-for")) {
        const auto rule = ParseMethodRule(text);
        if (!rule)
            throw UsageError("bad --method-for '" + text + "': write PATTERN=METHOD with METHOD " +
                             PackMethodNames());
        options.rules.push_back(*rule);
    }
    options.skipLinks = args.Has("skip-links");
    options.allowDuplicates = args.Has("allow-duplicates");
    return options;
}

std::vector<OptionSpec> InputOptionSpecs() {
    return {
        {"output", 'o', true}, {"method", 0, true},      {"method-for", 0, true},        {"key", 0, true},
        {"quiet", 'q', false}, {"skip-links", 0, false}, {"allow-duplicates", 0, false}, {"best", 0, false},
        {"threads", 'j', true}};
}

std::string SpillDirectoryFor(const std::string& out) {
    const fs::path parent = PathFromUtf8(out).parent_path();
    return parent.empty() ? std::string(".") : Utf8FromPath(parent);
}

}  // namespace kq::tools
