// The JSON answers both tools give with --json: one document for every path,
// a refusal of the arguments, --help and --version included, so that a script
// reading standard output never meets plain text.
#pragma once

#include <string>
#include <utility>
#include <vector>

#include "tools/common/tool_output.h"

namespace tools {

// The release the tools belong to, for --version.
inline constexpr const char* ReleaseName = "Vellumar/LNX v0.1beta";

// "Name": Value, with a comma after it when More; Value is JSON already.
[[nodiscard]] std::string JsonMember(const std::string& Name, const std::string& Value,
                                     bool More = true);
// Whether Args ask for JSON: then every answer, a refusal of the arguments
// included, is one JSON document.
[[nodiscard]] bool WantsJson(const std::vector<std::string>& Args);
// Writes one JSON object of Members (names with values already in JSON),
// one member a line.
void WriteJsonObject(TOutput& Out, const std::vector<std::pair<std::string, std::string>>& Members);
// Texts as a JSON array of strings.
[[nodiscard]] std::string JsonStrings(const std::vector<std::string>& Texts);
// The answer to bad usage: Problem and the usage text, as lines or (with
// Json) as {"error": ..., "usage": [...]}.
void WriteUsageProblem(TOutput& Out, bool Json, const std::string& Problem,
                       const std::vector<std::string>& Usage);
// The answer to --help or --version: the lines, or (with Json) one member
// Name holding them (one text for a single line, else an array).
void WriteInformation(TOutput& Out, bool Json, const std::string& Name,
                      const std::vector<std::string>& Lines);

}  // namespace tools
