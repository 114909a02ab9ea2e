#include "ui/app_state.h"

#include <algorithm>
#include <utility>

#include "session/session_texts.h"

namespace bq {

void AppEvents::Deliver(WorkerEvent event) {
  if (const auto* line = std::get_if<LogLine>(&event)) {
    app_.log.AppendLogEntry(line->kind, line->text);
    return;
  }
  app_.queue.Deliver(std::move(event));
}

AppState::AppState(std::vector<std::shared_ptr<PortDriver>> drivers) : jobs(std::move(drivers)) {
  selection.SetCellEditors(&cells);
  jobs.SetEvents(&events);
  jobs.session().SetPartDatabase(&parts);
  jobs.session().SetUpdiLockTexts({kDesktopUpdiLockedText, kDesktopUpdiLocksLaterText});
}

AppState::~AppState() {
  jobs.Stop();
}

bool AppState::StartProgrammer() {
  return jobs.Start();
}

void AppState::Apply(WorkerEvent& event, QuestionView& question) {
  if (auto* read = std::get_if<MemoryRead>(&event)) {
    if (read->image.empty()) return;
    MemoryBuffer& target = read->kind == MEMORY_EEPROM ? eeprom : flash;
    const auto lock = target.Lock();
    std::fill_n(target.data(), target.capacity(), std::uint8_t{0xFF});
    std::copy_n(read->image.begin(), std::min<std::size_t>(read->image.size(), target.capacity()),
                target.data());
    // The image is the chip's now, not the file's.
    target.setIncomplete(false);
    target.setDevice({});
  } else if (auto* fuses = std::get_if<FusesRead>(&event)) {
    FuseEditor& editor = fuses->editor == FuseEditorKind::Fuses ? fuseEditor : lockEditor;
    if (fuses->withBytes) {
      FuseByteSlots& bytes = editor.bytes();
      for (std::uint8_t target : {kTargetLow, kTargetHigh, kTargetExtended, kTargetLockBit}) {
        const ByteSlot& read = *fuses->bytes.Slot(target);
        if (read.present && bytes.Slot(target)->present) bytes.Slot(target)->value = read.value;
      }
    }
    if (!fuses->named.empty() && editor.IsNamed()) {
      std::vector<std::uint8_t>& named = editor.namedBytes();
      std::copy_n(fuses->named.begin(), std::min(fuses->named.size(), named.size()), named.begin());
    }
    editor.BytesReadFromChip();
  } else if (auto* asked = std::get_if<Question>(&event)) {
    const bool yes = asked->defaultNo ? question.AskYesNoDefaultNo(asked->text, asked->caption)
                                      : question.AskYesNo(asked->text, asked->caption);
    jobs.Answer(yes);
  } else if (auto* finished = std::get_if<Finished>(&event)) {
    if (finished->then) finished->then();
  }
}

void AppState::Settle(QuestionView& question) {
  for (;;) {
    const bool idle = jobs.WaitIdle();
    queue.Drain([&](WorkerEvent& e) { Apply(e, question); }, {});
    if (idle && !jobs.IsBusy() && queue.Pending() == 0) return;
  }
}

ProgrammerKind AppState::ProgrammerChoice() const {
  if (programmerOverride) return *programmerOverride;
  const ProgrammerInfo* info = FindProgrammer(settings.Programmer);
  return info != nullptr ? info->kind : ProgrammerKind::Brindlequartz;
}

ChipTarget AppState::Target() const {
  ChipTarget t;
  t.port = PortName();
  t.programmer = ProgrammerChoice();
  t.mode = selection.SelectedProgMode();
  t.ispSpeed = settings.ISPSpeed;
  t.signature = selection.chip().signature;
  t.partName = selection.chip().name;
  t.part = parts.Find(t.partName);
  return t;
}

}  // namespace bq
