#include "app/cli/help_format.h"

#include <sstream>

namespace bq::cli {

namespace {
constexpr std::size_t kLineWidth = 80;
}  // namespace

std::string WrapText(const std::string& text, std::size_t width) {
  std::string out;
  std::istringstream lines(text);
  std::string line;
  bool firstLine = true;
  while (std::getline(lines, line)) {
    if (!firstLine) out += '\n';
    firstLine = false;
    if (line.size() <= width) {  // tables and short lines stay as they are
      out += line;
      continue;
    }
    // A line keeps its indent on the lines it is broken into.
    const std::size_t indent =
        line.find_first_not_of(' ') == std::string::npos ? 0 : line.find_first_not_of(' ');
    const std::string pad(indent, ' ');
    std::size_t column = 0;
    std::istringstream words(line.substr(indent));
    std::string word;
    out += pad;
    column = indent;
    bool firstWord = true;
    while (words >> word) {
      if (!firstWord && column + 1 + word.size() > width) {
        out += '\n' + pad;
        column = indent;
      } else if (!firstWord) {
        out += ' ';
        ++column;
      }
      out += word;
      column += word.size();
      firstWord = false;
    }
  }
  if (!text.empty() && text.back() == '\n') out += '\n';
  return out;
}

std::string HelpFormatter::make_option_desc(const CLI::Option* option) const {
  return WrapText(CLI::Formatter::make_option_desc(option), kLineWidth - get_column_width());
}

std::string HelpFormatter::make_subcommand(const CLI::App* sub) const {
  std::stringstream out;
  CLI::detail::format_help(out, sub->get_display_name(),
                           WrapText(sub->get_description(), kLineWidth - get_column_width()),
                           get_column_width());
  return out.str();
}

std::string HelpFormatter::make_description(const CLI::App* app) const {
  const std::string text = CLI::Formatter::make_description(app);
  return text.empty() ? text : WrapText(text, kLineWidth);
}

std::string HelpFormatter::make_footer(const CLI::App* app) const {
  std::string footer = app->get_footer();
  // A command's help ends with the notes of the program's help.
  if (footer.empty() && app->get_parent() != nullptr) footer = app->get_parent()->get_footer();
  return footer.empty() ? footer : WrapText(footer, kLineWidth) + "\n";
}

std::string HelpFormatter::make_help(const CLI::App* app, std::string name,
                                     CLI::AppFormatMode mode) const {
  const CLI::App* parent = app->get_parent();
  if (mode != CLI::AppFormatMode::Normal || parent == nullptr) {
    return CLI::Formatter::make_help(app, std::move(name), mode);
  }
  std::stringstream out;
  out << make_description(app) << make_usage(app, name) << make_positionals(app)
      << make_groups(app, mode) << make_subcommands(app, mode);
  // The program's own options, taken before or after the command.
  const std::vector<const CLI::Option*> global = parent->get_options([](const CLI::Option* o) {
    return !o->get_group().empty() && o->get_name() != "--help" && o->get_name() != "--version" &&
           o->get_name() != "--help-all";
  });
  if (!global.empty()) {
    out << "\nOptions of every command (before or after it):\n";
    for (const CLI::Option* o : global) out << make_option(o, false);
  }
  out << '\n' << make_footer(app);
  return out.str();
}

}  // namespace bq::cli
