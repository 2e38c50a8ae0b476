#include "platform/vorn/VornMemberFileMgrSm.h"

#include "platform/framework/Assert.h"
#include "platform/framework/BoundedFile.h"
#include "platform/lodestore/BackupFile.h"
#include "platform/scheduler/SwitchContext.h"
#include "platform/trace/Ringlog.h"

#include <cstddef>
#include <cstdio>
#include <filesystem>

namespace {
const Ringlog::Handle traceHandle{"Vorn::VornMemberFileMgrSm"};

std::string underRoot(const std::string& root, const std::string& path) {
  std::string r = root;
  while (!r.empty() && r.back() == '/') r.pop_back();
  return r + (path.starts_with('/') ? "" : "/") + path;
}

// Far more than any member configuration we write: a larger file is not one
// of ours, and is replaced without being read.
constexpr size_t kMaxReadBytes = size_t{16} << 20;

// The whole text of `path`, or empty when it is missing or not a regular
// file that can be read (a FIFO or a device there is not opened for good):
// the next write replaces whatever it is.
std::string readText(const std::string& path) {
  try {
    return Zem::readBoundedFile(path, kMaxReadBytes, true).value_or("");
  } catch (const Zem::FileRefused&) {
    return {};
  }
}

}  // namespace

namespace Vorn {

const std::string& VornMemberFileMgrSm::flashRoot() {
  static const std::string root = "/";
  const Oru::SwitchContext* context = Oru::SwitchContext::active();
  return context != nullptr ? context->flashRoot() : root;
}

Velto::Ptr<VornMemberFileMgrSm> vornMemberFileMgrSmFactory(std::string filePath,
                                                           Velto::Ptr<const MemberConfig> memberConfig) {
  auto sm = Velto::make<VornMemberFileMgrSm>(std::move(filePath), std::move(memberConfig));
  sm->hasNotificationActiveIs(true);
  return sm;
}

VornMemberFileMgrSm::VornMemberFileMgrSm(std::string filePath, Velto::Ptr<const MemberConfig> memberConfig)
    : filePath_(std::move(filePath)), memberConfig_(std::move(memberConfig)) {
  ZEM_ASSERT(!filePath_.empty());
  ZEM_ASSERT(memberConfig_);
  fileName_ = underRoot(flashRoot(), filePath_);
  writtenText_ = readText(fileName_);
  if (Oru::TaskScheduler* scheduler = Oru::currentScheduler()) {
    writeTask_ = Velto::make<Oru::TimerTask>(Velto::Ptr<Oru::TaskScheduler>(scheduler), 0,
                                             "VornMemberFileMgrSm " + filePath_);
    writeTaskReactor_ = watch(writeTask_, [this](const Zem::Change& c) {
      if (c.is(Oru::TimerTask::runAttr)) handleWriteTaskRun();
    });
  }
  memberConfigReactor_ = watch(memberConfig_, [this](const Zem::Change&) { handleMemberConfig(); });
  handleInitialized();
}

VornMemberFileMgrSm::~VornMemberFileMgrSm() {
  if (!writePending()) return;
  writeTask_->stopTimerTask();
  maybeWriteFile();
}

void VornMemberFileMgrSm::handleInitialized() {
  TRACE0("file {}", fileName_);
  maybeWriteFile();
}

void VornMemberFileMgrSm::handleMemberConfig() {
  if (!writeTask_) {
    maybeWriteFile();
  } else if (!writeTask_->taskScheduled()) {
    TRACE7("member config changed; write {} soon", fileName_);
    writeTask_->scheduleTaskDelay(0);
  }
}

void VornMemberFileMgrSm::handleWriteTaskRun() { maybeWriteFile(); }

void VornMemberFileMgrSm::maybeWriteFile() {
  std::string text = Zem::toJson(*memberConfig_).dump(2) + "\n";
  if (text == writtenText_) return;
  std::string error = writeFile(text);
  if (error.empty()) {
    if (!lastError_.empty()) TRACE2("{} written again after an error", fileName_);
    TRACE6("wrote {} ({} bytes)", fileName_, text.size());
    writtenText_ = std::move(text);
    lastError_.clear();
    ++writeCount_;
    return;
  }
  if (error != lastError_) {
    std::fprintf(stderr, "VornMemberFileMgrSm: member configuration not saved: %s\n", error.c_str());
    TRACE2("member configuration not saved: {}", error);
  }
  lastError_ = std::move(error);
}

std::string VornMemberFileMgrSm::writeFile(const std::string& text) const {
  namespace fs = std::filesystem;
  const fs::path file(fileName_);
  const fs::path dir = file.parent_path();
  std::error_code ec;
  fs::create_directories(dir, ec);
  if (ec) return "cannot make directory " + dir.string() + ": " + ec.message();
  // The same durable replacement as the local backup's: a reader, or a
  // reboot, finds the old configuration or the new one in full.
  std::string error;
  if (!Lodestore::BackupFile::replace(dir.string(), file.filename().string(), text, error)) return error;
  Lodestore::BackupFile::syncDir(dir.string(), error);
  return error;
}

}  // namespace Vorn
