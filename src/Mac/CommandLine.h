// The requests both programs answer before doing anything else: the usage text and the version.
#ifndef ORVANTA_MAC_COMMANDLINE_H
#define ORVANTA_MAC_COMMANDLINE_H

#include <optional>
#include <ostream>
#include <string>
#include <vector>

namespace orvanta::agent {

// What each program prints for -h and --help.
extern const char kUpdateUsage[];
extern const char kUninstallUsage[];

// The project's version, as the build states it ("1.0.0").
const char* Version();

// When the first argument is exactly "-h", "--help" or "--version", writes the usage text or the
// line "PROGRAM VERSION" to out and returns the exit status: 0, or 1 when out could not be
// written. Otherwise writes nothing and returns nullopt: the run goes on with its arguments.
std::optional<int> AnswerInfoRequest(const std::vector<std::string>& arguments, const char* program,
                                     const char* usage, std::ostream& out);

} // namespace orvanta::agent

#endif // ORVANTA_MAC_COMMANDLINE_H
