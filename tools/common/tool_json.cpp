#include "tools/common/tool_json.h"

#include <algorithm>

#include "tools/common/tool_text.h"

namespace tools {

std::string JsonMember(const std::string& Name, const std::string& Value, bool More) {
  return "\"" + Name + "\": " + Value + (More ? "," : "");
}

bool WantsJson(const std::vector<std::string>& Args) {
  return std::find(Args.begin(), Args.end(), "--json") != Args.end();
}

void WriteJsonObject(TOutput& Out,
                     const std::vector<std::pair<std::string, std::string>>& Members) {
  Out.WriteLine("{");
  for (std::size_t I = 0; I < Members.size(); ++I)
    Out.WriteLine("  " + JsonMember(Members[I].first, Members[I].second, I + 1 < Members.size()));
  Out.WriteLine("}");
}

std::string JsonStrings(const std::vector<std::string>& Texts) {
  std::string Result = "[";
  for (std::size_t I = 0; I < Texts.size(); ++I)
    Result += (I > 0 ? ", " : "") + JsonString(Texts[I]);
  return Result + "]";
}

void WriteUsageProblem(TOutput& Out, bool Json, const std::string& Problem,
                       const std::vector<std::string>& Usage) {
  if (Json) {
    WriteJsonObject(Out, {{"error", JsonString(Problem)}, {"usage", JsonStrings(Usage)}});
    return;
  }
  Out.WriteLine(Problem);
  for (const std::string& Line : Usage) Out.WriteLine(Line);
}

void WriteInformation(TOutput& Out, bool Json, const std::string& Name,
                      const std::vector<std::string>& Lines) {
  if (Json) {
    WriteJsonObject(Out,
                    {{Name, Lines.size() == 1 ? JsonString(Lines.front()) : JsonStrings(Lines)}});
    return;
  }
  for (const std::string& Line : Lines) Out.WriteLine(Line);
}

}  // namespace tools
