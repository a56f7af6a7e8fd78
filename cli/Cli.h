// morvellan-cli: the commands and what they share (argument reading, messages, exit codes).
#pragma once

#include <cstdio>
#include <string>
#include <vector>

namespace mv::cli {

constexpr int ExitOk = 0;     // everything done
constexpr int ExitFailed = 1; // some pictures or files failed
constexpr int ExitUsage = 2;  // bad usage: nothing was done

constexpr const char* ProgramName = "morvellan-cli";

// Bad usage: the message goes to stderr with a hint at --help, and the exit status is 2.
struct TUsageError {
    std::string Message;
};

// "morvellan-cli: NAME: MESSAGE" on stderr.
void PrintFileError(const std::string& Name, const std::string& Message);

// The command line after the command's name: options (with "--name=value", "--name value"
// and "-x value") and operands; "--" ends the options.
class TArguments {
public:
    explicit TArguments(std::vector<std::string> Args) : FArgs(std::move(Args)) {}
    bool AtEnd() const { return FIndex >= FArgs.size(); }
    // The next word; sets IsOption when it is an option (its name without an inline value).
    std::string Next(bool& IsOption);
    // The value of the option just read: its inline "=value" or the next word.
    std::string Value(const std::string& Option);
    // Raises a usage error when an option that takes no value was given one.
    void NoValue(const std::string& Option);

private:
    std::vector<std::string> FArgs;
    size_t FIndex = 0;
    bool FOptionsEnded = false;
    bool FHasInline = false;
    std::string FInline;
};

// An integer option value in [Min, Max], or a usage error naming the option.
int ParseInt(const std::string& Option, const std::string& Text, int Min, int Max);

int RunConvert(TArguments& Args);
int RunInfo(TArguments& Args);
int RunExtract(TArguments& Args);

// The text of --help.
extern const char* HelpText;

} // namespace mv::cli
