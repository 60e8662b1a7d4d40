#include "tools/kqi/Options.h"

#include <algorithm>
#include <charconv>
#include <system_error>
#include <thread>

namespace kq::tools {

bool ParsedArgs::Has(std::string_view name) const {
    return std::any_of(options_.begin(), options_.end(), [&](const auto& o) { return o.first == name; });
}

std::optional<std::string> ParsedArgs::Last(std::string_view name) const {
    for (auto it = options_.rbegin(); it != options_.rend(); ++it) {
        if (it->first == name) return it->second;
    }
    return std::nullopt;
}

std::vector<std::string> ParsedArgs::All(std::string_view name) const {
    std::vector<std::string> values;
    for (const auto& o : options_) {
        if (o.first == name) values.push_back(o.second);
    }
    return values;
}

ParsedArgs ParseArgs(const CommandSpec& command, const std::vector<std::string>& args) {
    auto byLong = [&](std::string_view name) -> const OptionSpec* {
        if (name == kHelpOption.name) return &kHelpOption;
        for (const OptionSpec& o : command.options) {
            if (o.name == name) return &o;
        }
        return nullptr;
    };
    auto byShort = [&](char c) -> const OptionSpec* {
        if (c == kHelpOption.shortName) return &kHelpOption;
        for (const OptionSpec& o : command.options) {
            if (o.shortName != 0 && o.shortName == c) return &o;
        }
        return nullptr;
    };

    ParsedArgs parsed;
    bool optionsEnded = false;
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& arg = args[i];
        if (optionsEnded || arg.size() < 2 || arg[0] != '-') {
            parsed.positional_.push_back(arg);
            continue;
        }
        if (arg == "--") {
            optionsEnded = true;
            continue;
        }
        const OptionSpec* spec = nullptr;
        std::optional<std::string> inlineValue;
        std::string shown;
        if (arg[1] == '-') {
            const size_t equals = arg.find('=');
            const std::string name =
                arg.substr(2, equals == std::string::npos ? std::string::npos : equals - 2);
            if (equals != std::string::npos) inlineValue = arg.substr(equals + 1);
            spec = byLong(name);
            shown = "--" + name;
        } else {
            spec = byShort(arg[1]);
            if (arg.size() > 2) inlineValue = arg.substr(2);
            shown = arg.substr(0, 2);
        }
        if (!spec) throw UsageError("unknown option " + shown);
        if (!spec->takesValue) {
            if (inlineValue) throw UsageError("option " + shown + " takes no value");
            parsed.options_.emplace_back(spec->name, std::string());
            continue;
        }
        if (!inlineValue) {
            if (i + 1 >= args.size()) throw UsageError("option " + shown + " needs a value");
            inlineValue = args[++i];
        }
        parsed.options_.emplace_back(spec->name, *inlineValue);
    }
    return parsed;
}

std::optional<int32_t> ParseKey(std::string_view text) {
    if (text.empty()) return std::nullopt;
    const char* first = text.data();
    const char* last = text.data() + text.size();
    if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
        uint32_t value = 0;
        const auto [end, ec] = std::from_chars(first + 2, last, value, 16);
        if (ec != std::errc() || end != last) return std::nullopt;
        return static_cast<int32_t>(value);
    }
    int32_t value = 0;
    const auto [end, ec] = std::from_chars(first, last, value, 10);
    if (ec != std::errc() || end != last) return std::nullopt;
    return value;
}

int32_t KeyOption(const ParsedArgs& args) {
    const auto text = args.Last("key");
    if (!text) return 0;
    const auto key = ParseKey(*text);
    if (!key)
        throw UsageError("bad key '" + *text + "': give a signed 32-bit decimal or 0x hexadecimal value");
    return *key;
}

pack::PackMethod MethodOption(const ParsedArgs& args) {
    const auto name = args.Last("method");
    if (!name) return pack::kDefaultPackMethod;
    const auto method = pack::ParsePackMethod(*name);
    if (!method) throw UsageError("unknown method '" + *name + "': give " + pack::PackMethodNames());
    return *method;
}

pack::EncodeOptions EncodeOptionsFrom(const ParsedArgs& args) {
    pack::EncodeOptions options;
    options.best = args.Has("best");
    options.threads = std::max(1u, std::thread::hardware_concurrency());
    if (const auto text = args.Last("threads")) {
        unsigned value = 0;
        const auto [end, ec] = std::from_chars(text->data(), text->data() + text->size(), value, 10);
        if (ec != std::errc() || end != text->data() + text->size() || value < 1 || value > 64) {
            throw UsageError("-j takes a thread count from 1 to 64");
        }
        options.threads = value;
    }
    return options;
}

}  // namespace kq::tools
