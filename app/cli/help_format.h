#pragma once
// The help of brindlequartz-cli: descriptions wrapped to the width of a terminal, and each
// command's --help also lists the options every command takes (-P, -p, -m, -c, ...) and the
// notes on exit status, ports and files.

#include <CLI/CLI.hpp>

#include <memory>
#include <string>

namespace bq::cli {

// text with each line longer than width broken at blanks (the pieces keep its indent);
// shorter lines and the text's own line breaks stay.
std::string WrapText(const std::string& text, std::size_t width);

class HelpFormatter : public CLI::Formatter {
 public:
  std::string make_help(const CLI::App* app, std::string name,
                        CLI::AppFormatMode mode) const override;
  std::string make_option_desc(const CLI::Option* option) const override;
  std::string make_subcommand(const CLI::App* sub) const override;
  std::string make_description(const CLI::App* app) const override;
  std::string make_footer(const CLI::App* app) const override;
};

}  // namespace bq::cli
