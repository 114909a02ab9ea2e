#include "app/cli/named_fuses.h"

#include <cstdio>
#include <set>

#include "session/fuse_write_risks.h"
#include "session/named_fuses.h"

namespace bq::cli {

namespace {

// The bytes a command concerns: those with a factory value (--defaults) and those named.
std::set<std::uint8_t> Concerned(const UpdiLayout& layout, bool defaults,
                                 const std::vector<NamedFuseAssignment>& assignments) {
  std::set<std::uint8_t> offsets;
  if (defaults) {
    for (const NamedFuseByte& b : layout.fuses) {
      if (b.hasDefault) offsets.insert(b.offset);
    }
  }
  for (const NamedFuseAssignment& a : assignments) offsets.insert(a.offset);
  return offsets;
}

}  // namespace

int RunNamedFuses(ChipSession& session, const PartRecord& part, const NamedFuseCommand& command,
                  Printer& out, const std::function<int(const SessionResult&)>& fail) {
  const UpdiLayout& layout = part.updi;
  const NamedFuseLog log = [&out](LogKind kind, const std::string& text) { out.Log(kind, text); };
  if (command.classicBytes) {
    Complain("this part has no LOW, HIGH or EXTENDED fuse byte; name its bytes instead (" +
             (layout.fuses.empty() ? std::string("NAME") : layout.fuses.front().name) +
             "=VALUE, see fuses read)");
    return kExitUsage;
  }
  if (command.action == "read") {
    std::vector<std::uint8_t> bytes;
    if (const SessionResult r = ReadNamedFuseBytes(session, layout, bytes, log); !r.ok()) {
      return fail(r);
    }
    for (const NamedFuseByte& b : layout.fuses) {
      std::printf("%s\n", NamedFuseLine(b, bytes[b.offset]).c_str());
    }
    FlushOutput();
    return kExitOk;
  }

  std::vector<NamedFuseAssignment> assignments;
  if (const std::string problem = ParseNamedFuseAssignments(layout, command.words, assignments);
      !problem.empty()) {
    Complain(problem);
    return kExitUsage;
  }
  const std::set<std::uint8_t> concerned = Concerned(layout, command.defaults, assignments);
  std::vector<std::uint8_t> chip;
  if (const SessionResult r = ReadNamedFuseBytes(session, layout, chip, log); !r.ok()) {
    return fail(r);
  }
  std::vector<std::uint8_t> wanted = command.defaults ? DefaultNamedFuses(layout, chip) : chip;
  ApplyNamedFuseAssignments(wanted, assignments);

  if (command.action == "verify") {
    std::vector<NamedFuseValue> expected;
    for (const std::uint8_t offset : concerned) expected.push_back({offset, wanted[offset]});
    if (!command.defaults) {
      // Only the bits given are compared: a field says nothing about its neighbours.
      const std::vector<std::string> differences = NamedFuseDifferences(layout, assignments, chip);
      for (const std::string& line : differences) out.Log(LogKind::LogError, line);
      out.Log(differences.empty() ? LogKind::LogSuccess : LogKind::LogError,
              std::string("Fuse bits verification ") + (differences.empty() ? "OK" : "FAILED"));
      return differences.empty() ? kExitOk : kExitFailed;
    }
    const SessionResult r = VerifyNamedFuseBytes(session, layout, expected, log);
    return r.ok() ? kExitOk : fail(r);
  }

  std::vector<NamedFuseValue> values;
  for (const std::uint8_t offset : concerned) {
    if (wanted[offset] != chip[offset]) values.push_back({offset, wanted[offset]});
  }
  const std::vector<FuseWriteRisk> risks = UpdiFuseWriteRisks(layout, values);
  if (!risks.empty() && !command.force) {
    for (const FuseWriteRisk& risk : risks) out.Log(LogKind::LogError, FuseRiskText(risk));
    out.Log(LogKind::LogError,
            "Fuses not written. Add --force to write them all the same; after that only "
            "high-voltage UPDI activation reaches the chip.");
    return kExitFailed;
  }
  for (const FuseWriteRisk& risk : risks) out.Log(LogKind::LogWarning, FuseRiskText(risk));
  if (values.empty()) {
    out.Log(LogKind::LogSuccess,
            "The chip's fuse bytes already hold these values; nothing written");
    return kExitOk;
  }
  const SessionResult r = WriteNamedFuseBytes(session, layout, values, log);
  return r.ok() ? kExitOk : fail(r);
}

}  // namespace bq::cli
