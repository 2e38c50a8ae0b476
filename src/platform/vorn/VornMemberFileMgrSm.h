#pragma once
// Keeps the member configuration file on flash in step with the member
// configuration, so that the boot code finds this member's backplane
// channels before any agent runs.
//
// The file holds the configuration's JSON (Zem::toJson), pretty-printed, and
// is always replaced whole: the text goes to a temporary file beside it,
// which is flushed to disk, renamed over the file, and the directory is
// flushed too, so whatever moment the switch loses power the file is either
// the old or the new configuration, never a mix. Missing directories are
// made.
//
// Changes are coalesced through the current scheduler: every change made
// before the scheduler runs its next due tasks becomes one write. With no
// current scheduler each change is written at once. A file that already
// holds the wanted text is not rewritten (flash wears). A pending write is
// done when the state machine is destroyed, so a clean stop loses nothing.
//
// A write that fails is reported once, on stderr and in the trace, with the
// file and the system error; the agent goes on, and the next change tries
// again. A later success is traced.
//
// File paths are absolute on the switch ("/mnt/flash/vorn-config") and land
// under a flash root directory, "/" by default; tests and the simulator
// move it (the switch context's flash root), so the path lands at
// "<root>/mnt/flash/...".

#include "platform/framework/StateMachine.h"
#include "platform/records/VornRecords.h"
#include "platform/scheduler/Scheduler.h"

#include <cstddef>
#include <string>

namespace Vorn {

class VornMemberFileMgrSm : public Zem::StateMachine {
 public:
  VornMemberFileMgrSm(std::string filePath, Velto::Ptr<const MemberConfig> memberConfig);
  ~VornMemberFileMgrSm() override;

  // The active switch context's flash root ("/" with none); read when a
  // state machine is made.
  static const std::string& flashRoot();

  const std::string& filePath() const { return filePath_; }
  // Where the file is written: the file path under the flash root.
  const std::string& fileName() const { return fileName_; }
  const Velto::Ptr<const MemberConfig>& memberConfig() const { return memberConfig_; }
  // Files written so far (unchanged text is not written).
  size_t writeCount() const { return writeCount_; }
  bool writePending() const { return writeTask_ && writeTask_->taskScheduled(); }
  // The last write's error; empty after a success.
  const std::string& lastError() const { return lastError_; }

 private:
  void handleInitialized();
  void handleMemberConfig();
  void handleWriteTaskRun();
  void maybeWriteFile();
  // Replaces the file by `text`; an error text, empty on success.
  std::string writeFile(const std::string& text) const;

  std::string filePath_;
  std::string fileName_;
  Velto::Ptr<const MemberConfig> memberConfig_;
  Velto::Ptr<Oru::TimerTask> writeTask_;
  std::string writtenText_;
  size_t writeCount_ = 0;
  std::string lastError_;
  Zem::Reactor memberConfigReactor_;
  Zem::Reactor writeTaskReactor_;
};

Velto::Ptr<VornMemberFileMgrSm> vornMemberFileMgrSmFactory(std::string filePath,
                                                           Velto::Ptr<const MemberConfig> memberConfig);

}  // namespace Vorn
