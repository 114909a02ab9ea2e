#include "ui/app_state.h"

#include <utility>

namespace bq {

void AppWorkerEvents::AppendLogEntry(LogKind kind, const std::string& text) {
  app_.log.AppendLogEntry(kind, text);
}
void AppWorkerEvents::ProgressSmooth() {
  if (frontEnd_ != nullptr) frontEnd_->ProgressSmooth();
}
void AppWorkerEvents::ProgressMarquee() {
  if (frontEnd_ != nullptr) frontEnd_->ProgressMarquee();
}
void AppWorkerEvents::ProgressRange(std::uint16_t maximum) {
  if (frontEnd_ != nullptr) frontEnd_->ProgressRange(maximum);
}
void AppWorkerEvents::ProgressPosition(std::uint32_t position) {
  if (frontEnd_ != nullptr) frontEnd_->ProgressPosition(position);
}
void AppWorkerEvents::ProgressMarqueeStart() {
  if (frontEnd_ != nullptr) frontEnd_->ProgressMarqueeStart();
}
void AppWorkerEvents::ProgressMarqueeStop() {
  if (frontEnd_ != nullptr) frontEnd_->ProgressMarqueeStop();
}
void AppWorkerEvents::ProgressShow() {
  if (frontEnd_ != nullptr) frontEnd_->ProgressShow();
}
void AppWorkerEvents::ProgressHide() {
  if (frontEnd_ != nullptr) frontEnd_->ProgressHide();
}
void AppWorkerEvents::RefillHexView(MemoryKind kind) {
  if (frontEnd_ != nullptr) frontEnd_->RefillHexView(kind);
}
void AppWorkerEvents::RequestFinished(std::uint8_t command, std::uint8_t status) {
  if (frontEnd_ != nullptr) frontEnd_->RequestFinished(command, status);
}

void AppWorkerEvents::RedrawFuseEditor(FuseEditorKind editor) {
  if (frontEnd_ != nullptr) {
    frontEnd_->RedrawFuseEditor(editor);
  } else {
    app_.ApplyFuseEditorRedraw(editor);
  }
}

AppState::AppState(std::vector<std::shared_ptr<PortDriver>> drivers) : port(std::move(drivers)) {
  selection.SetCellEditors(&cells);
}

AppState::~AppState() {
  programmer.StopWorker();
  port.ClosePort();
}

bool AppState::StartProgrammer() {
  const ProgrammerLinks links{port, flash, eeprom, fuseEditor.bytes(), lockEditor.bytes(), events};
  return programmer.StartWorker(links);
}

void AppState::ApplyFuseEditorRedraw(FuseEditorKind editor) {
  (editor == FuseEditorKind::Fuses ? fuseEditor : lockEditor).BytesReadFromChip();
}

}  // namespace bq
