#pragma once

// The processing thread: every file of the service is handled here. It waits
// an optional start-up delay, then runs numbered cycles: each cycle visits the
// configured instruments in order, processes their finished result files one
// by one, runs the periodic tasks, then rests `Cycle` seconds on its stop
// event. A stop request is honoured between files, never inside one. Every
// timed wait of the thread (start-up delay, rest, stability pause) is a wait
// on that event, so a stop request or the destructor ends it at once.
//
// The thread tells the service manager it is alive before every slice of a
// wait (slices of WAIT_SLICE_MS at most) and between files, so that only a
// thread that is really stuck goes silent. At the end of every cycle it
// replaces the status file beside the executable and sets the manager's
// status text, and, unless StatusPage is off, the status page beside it.
//
// The members are defined in three files: UServiceThread.cpp (the cycle
// loop, scanning and stability, the status file), UFilePipeline.cpp (one
// file through its stages) and UDoneFolder.cpp (filing into the done folder).

#include <array>
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

#include "astm/UASTMParser.h"
#include "config/UConfig.h"
#include "imaging/UImageResult.h"
#include "platform/Clock.h"
#include "platform/Sync.h"
#include "processing/UResultJournal.h"
#include "processing/UStatusPage.h"

constexpr uint32_t FILE_STABILITY_WAIT_MS = 500;
constexpr int FILE_STABILITY_RETRIES = 10;
constexpr int64_t PERIODIC_LOG_ROTATION = 100;
constexpr int64_t PERIODIC_QC_CHECK = 10;
constexpr const char* DONE_SUBFOLDER = "done";
constexpr int DONE_MAX_FILES = 1000;
// The longest the thread goes without telling the service manager it is
// alive while it waits.
constexpr uint32_t WAIT_SLICE_MS = 2000;

class TVelmarServiceThread {
 public:
  // Builds the thread suspended, with its own copy of the configuration.
  explicit TVelmarServiceThread(const TAppConfig& Config);
  // Sets the terminate request, wakes the body from any wait by setting the
  // stop event (without logging a request), and waits, without limit, for
  // the body to end.
  ~TVelmarServiceThread();
  TVelmarServiceThread(const TVelmarServiceThread&) = delete;
  TVelmarServiceThread& operator=(const TVelmarServiceThread&) = delete;

  // Starts the body on its own thread (once).
  void Start();
  // Logs the request and sets the stop event; neither terminates nor waits.
  // Safe from any thread.
  void RequestStop();
  // True when the body has ended within TimeoutMs, or was never started.
  bool WaitForStop(uint32_t TimeoutMs);

  // The thread body; public so that tests can run it on their own thread.
  void Execute();
  void RunPeriodicTasks();
  void ProcessInstrument(int InstrIndex);
  // Lists the result files of Folder in name order and takes each one's
  // first size reading for IsFileStable.
  int FindTRAFiles(const std::string& Folder, std::vector<std::string>& Files);
  // True when two size readings at least FILE_STABILITY_WAIT_MS apart agree
  // and are not zero. The first attempt starts from the reading the listing
  // took, when there is one, and waits only for what is left of the pause:
  // the files of a folder wait for their second reading side by side, not
  // one after the other. The later attempts are fresh pairs of readings.
  bool IsFileStable(const std::string& FilePath);
  // True when the file lies in the done folder afterwards. A file of the
  // same name there is replaced when it holds the same bytes, and kept when
  // it does not (the new one takes the first free name "name~1.ext",
  // "name~2.ext", ...). A failure the machine is to blame for (or a source
  // that could not be removed after its copy) is kept in
  // EnvironmentFault().
  bool MoveToDone(const std::string& FilePath);
  // At start: removes the journal entries of result files already in the
  // done folder (same name, size and hash) and no longer in their
  // instrument folder, left by an interruption between the move and the
  // entry's removal.
  void RemoveFiledEntries();
  // True when every stage ran and the file was filed. A stage or a filing
  // stopped by an environment fault leaves the file in its folder, with the
  // journal holding the stages done, and EnvironmentFault() set.
  bool ProcessTRAFile(const std::string& FilePath, const std::string& ImagesFolder);
  // Why the last file could not be finished, or empty.
  const std::string& EnvironmentFault() const { return FEnvironmentFault; }

  int64_t CycleCount() const { return FCycleCount; }
  const std::string& DoneFolder() const { return FDoneFolder; }

  // Test seam: called at named points ("instrument" with the instrument
  // number, "periodic", and each stage of a file: "images", "qc", "xml",
  // "glims"); a hook may throw to exercise the exception guards.
  using TTestHook = std::function<void(const std::string& point, int index)>;
  void SetTestHookForTesting(TTestHook hook) { FTestHook = std::move(hook); }
  // Test seam: stands in for the passing of time in every timed wait. The
  // hook is called with the wait's length in place of the pause; the wait
  // then reports whether the stop event is set. Zero-length looks at the
  // event never call it. Set before Start.
  using TWaitHook = std::function<void(uint32_t TimeoutMs)>;
  void SetWaitHookForTesting(TWaitHook hook) { FWaitHook = std::move(hook); }
  // Test seam: replaces the "alive" message to the service manager. Set
  // before Start.
  using TPing = std::function<void()>;
  void SetPingForTesting(TPing ping) { FPing = std::move(ping); }

 private:
  bool Terminated() const { return FTerminated; }
  void TestPoint(const char* point, int index) const {
    if (FTestHook) FTestHook(point, index);
  }
  // Waits up to TimeoutMs (0: just a look) for the stop event; true when it
  // is set.
  bool StopSignalled(uint32_t TimeoutMs);
  // The stages of a parsed file, skipping those its journal entry shows
  // done; false when an environment fault stopped them (FEnvironmentFault).
  bool RunStages(const std::string& FilePath, const TASTMMessage& Msg,
                 const std::string& ImagesFolder, TJournalEntry& Entry, TImageResult* Results,
                 int& ImgCount);
  // Reads the file's identity and takes up its journal entry, or starts one;
  // false when that could not be done (the file then waits).
  bool OpenJournalEntry(const std::string& FilePath, const std::string& Bytes,
                        TJournalEntry& Entry);
  // Logs the environment fault of the file and raises the processing flag.
  void ReportEnvironmentFault(const std::string& Name);
  // Flushes to disk the pictures of a finished image stage and the folders
  // that hold them (and FullSizeFolder, where a full-size picture may have
  // been removed); false with FEnvironmentFault set when that fails.
  bool MakeImagesDurable(const TImageResult* Results, int Count, const std::string& FullSizeFolder);
  // Keeps the instrument's own flag and its reachability in step with its
  // folder; a change is reported once.
  void NoteReachability(int InstrIndex, const std::string& Folder, bool Reachable);
  // Replaces the status file with the state ("en marche", "démarrage",
  // "arrêté") and the counts as they stand, then the status page.
  void WriteStatus(const char* State);
  // Replaces the status page (status.html) from what the thread knows and
  // the flag files present.
  void WriteStatusPage(const char* State, TDateTime Now, const std::vector<std::string>& FlagFiles);
  // Removes the thumbnails an earlier run left (the page lists this run's).
  void ClearStatusThumbnails();
  // Keeps a finished, filed or waiting file among the page's recent files.
  void NoteRecentFile(const std::string& Name, const std::string& Outcome, bool Good);
  // Keeps the pictures of a fresh image stage that were set aside, with a
  // thumbnail of each, among the page's set-aside pictures.
  void NoteSetAside(const TImageResult* Results, int Count, const std::string& SampleID);

  TAppConfig FConfig;           // private copy, taken at construction
  platform::TEvent FStopEvent;  // manual reset; once set it stays set
  std::string FValidation;      // validation text drawn on the pictures: "Automatic"
  std::atomic<int64_t> FCycleCount{0};
  std::string FDoneFolder;                 // log folder + "/done"
  TResultJournal FJournal;                 // log folder + "/journal"
  std::string FEnvironmentFault;           // why the last file had to wait, or empty
  std::set<std::string> FSkippedReported;  // entries already reported as not regular files
  // A file's size as the folder listing read it, and when (monotonic ms).
  struct TListedSize {
    int64_t Size = 0;
    int64_t AtMs = 0;
  };
  // By full path: filled by FindTRAFiles, taken out by IsFileStable,
  // emptied at the start of every cycle.
  std::unordered_map<std::string, TListedSize> FListedSizes;
  std::atomic<bool> FTerminated{false};
  TTestHook FTestHook;
  TWaitHook FWaitHook;
  TPing FPing;

  // What the status file shows; the processing thread's alone.
  enum TReachability { rcUnknown, rcReachable, rcUnreachable };
  std::array<TReachability, MAX_INSTRUMENTS> FReachable{};  // per instrument, as last seen
  int64_t FProcessedCount = 0;                              // files finished since start
  int64_t FFailedCount = 0;                                 // files filed incomplete since start
  std::string FLastFile;  // name of the last file finished or filed
  TDateTime FLastFileTime = 0;
  TDateTime FCycleTime = 0;  // when the last cycle ended

  // What the status page shows besides; bounded lists, newest first.
  std::array<TDateTime, MAX_INSTRUMENTS> FUnreachableSince{};  // while unreachable
  // Files each instrument's last visit left in its folder (the status file
  // tells their sum).
  std::array<int64_t, MAX_INSTRUMENTS> FWaitingByInstrument{};
  std::deque<TStatusPageFile> FRecentFiles;
  std::deque<TStatusPageSetAside> FSetAside;
  std::vector<TStatusPageLot> FDueLots;  // from the last QC check
  std::string FLastSampleID;             // of the file being processed
  int64_t FThumbnailCount = 0;           // names the thumbnails of this run

  std::thread FThread;
  std::mutex FEndMutex;  // guards FBodyEnded
  std::condition_variable FEndCv;
  bool FBodyEnded = false;
};
