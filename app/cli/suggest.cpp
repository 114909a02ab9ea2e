#include "app/cli/suggest.h"

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "app/cli/cli_output.h"
#include "core/nearest.h"

namespace bq::cli {

namespace {

// Every long and short name of the options of app (and of its parent, for fallthrough).
std::vector<std::string> OptionNames(const CLI::App* app) {
  std::vector<std::string> names;
  for (const CLI::App* a = app; a != nullptr; a = a->get_parent()) {
    for (const CLI::Option* o : a->get_options()) {
      for (const std::string& l : o->get_lnames()) names.push_back("--" + l);
      for (const std::string& s : o->get_snames()) names.push_back("-" + s);
    }
  }
  return names;
}

// Options that take a value: the word after them is not a command.
bool TakesValue(const CLI::App& app, const std::string& word) {
  for (const CLI::Option* o : app.get_options()) {
    if (o->get_expected_max() == 0) continue;  // a flag
    for (const std::string& l : o->get_lnames()) {
      if (word == "--" + l) return true;
    }
    for (const std::string& s : o->get_snames()) {
      if (word == "-" + s) return true;
    }
  }
  return false;
}

std::string DidYouMean(const std::string& word, const std::vector<std::string>& candidates) {
  const std::vector<std::string> near = NearestNames(word, candidates, 3);
  if (near.empty()) return "";
  std::string text = "; did you mean ";
  for (std::size_t i = 0; i < near.size(); ++i) {
    if (i > 0) text += i + 1 == near.size() ? " or " : ", ";
    text += near[i];
  }
  return text + "?";
}

}  // namespace

int ReportUsageError(CLI::App& app, const CLI::ParseError& error, int argc, char** argv) {
  std::vector<std::string> commands;
  for (const CLI::App* sub : app.get_subcommands(nullptr)) commands.push_back(sub->get_name());
  const std::vector<CLI::App*> chosen = app.get_subcommands();
  const CLI::App* scope = chosen.empty() ? &app : chosen.front();
  const std::vector<std::string> options = OptionNames(scope);

  for (int i = 1; i < argc; ++i) {
    std::string word = argv[i];
    if (word.size() > 1 && word[0] == '-') {
      const auto eq = word.find('=');
      if (eq != std::string::npos) word.resize(eq);
      if (std::find(options.begin(), options.end(), word) == options.end() && word != "-h" &&
          word != "--help" && word != "--version") {
        Complain("unknown option " + word + DidYouMean(word, options) +
                 " (see brindlequartz-cli --help)");
        return kExitUsage;
      }
      if ((TakesValue(app, word) || TakesValue(*scope, word)) && eq == std::string::npos) ++i;
      continue;
    }
    if (chosen.empty()) {
      // The first word that is no option's value names the command.
      Complain("unknown command '" + word + "'" + DidYouMean(word, commands) +
               " (see brindlequartz-cli --help)");
      return kExitUsage;
    }
  }
  if (chosen.empty()) {
    Complain("no command given (see brindlequartz-cli --help)");
    return kExitUsage;
  }
  std::string what = error.what();
  Complain(scope->get_name() + ": " + what + " (see brindlequartz-cli " + scope->get_name() +
           " --help)");
  return kExitUsage;
}

}  // namespace bq::cli
