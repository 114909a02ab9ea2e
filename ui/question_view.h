#pragma once
// The Yes/No questions of the chip flows, asked on the user-interface thread.

#include <string>

namespace bq {

class QuestionView {
 public:
  virtual ~QuestionView() = default;
  // True for Yes.
  virtual bool AskYesNo(const std::string& text, const std::string& caption) = 0;
  // The same with No as the default button, for a question whose Yes can cost the user the
  // chip. A front-end that shows a box overrides it; the fallback asks AskYesNo.
  virtual bool AskYesNoDefaultNo(const std::string& text, const std::string& caption) {
    return AskYesNo(text, caption);
  }
};

}  // namespace bq
