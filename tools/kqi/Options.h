// The option parser of the kqi commands, the command table's types, and the
// options several commands read the same way.
#pragma once

#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "InstCompressPack/ArchiveWriter.h"

namespace kq::tools {

// A usage error: the command prints its usage text and exits 2.
class UsageError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

struct OptionSpec {
    std::string_view name;  // long name without "--"
    char shortName = 0;     // 0: none
    bool takesValue = false;
};

// "--help" and "-h" are every command's: ParseArgs knows them without a
// command listing them, and reports them as Has("help").
inline constexpr OptionSpec kHelpOption{"help", 'h', false};

// One subcommand: its options and its usage text (the text of --help; a
// usage error prints it too).
struct CommandSpec {
    std::string_view name;
    std::string_view summary;
    std::string_view usage;
    std::vector<OptionSpec> options;
};

// The options as given, in order, and the positional arguments. Accepts
// "--name value", "--name=value", "-x value", "-xvalue", and "--" to end
// the options; "-" alone is positional.
class ParsedArgs {
public:
    bool Has(std::string_view name) const;
    std::optional<std::string> Last(std::string_view name) const;
    std::vector<std::string> All(std::string_view name) const;
    const std::vector<std::string>& Positional() const { return positional_; }

private:
    friend ParsedArgs ParseArgs(const CommandSpec& command, const std::vector<std::string>& args);
    std::vector<std::pair<std::string, std::string>> options_;
    std::vector<std::string> positional_;
};

// Raises UsageError.
ParsedArgs ParseArgs(const CommandSpec& command, const std::vector<std::string>& args);

// Signed 32-bit decimal or 0x hexadecimal (the hex form may give the bit
// pattern of a negative key, for example 0xFFFFFFFF for -1).
std::optional<int32_t> ParseKey(std::string_view text);
int32_t KeyOption(const ParsedArgs& args);              // --key, 0 without it
pack::PackMethod MethodOption(const ParsedArgs& args);  // --method, lh5 without it
// --best and -j N (1 to 64; default the machine's cores) for the LZH5 encoder.
pack::EncodeOptions EncodeOptionsFrom(const ParsedArgs& args);

}  // namespace kq::tools
