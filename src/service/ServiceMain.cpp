#include "service/ServiceMain.h"

#include <chrono>
#include <exception>
#include <initializer_list>
#include <istream>
#include <ostream>
#include <thread>

#include "barcode/UZBar.h"
#include "logging/ULogger.h"
#include "platform/Clock.h"
#include "platform/ExitStatus.h"
#include "platform/Files.h"
#include "platform/ProcessInfo.h"
#include "platform/ServiceHost.h"
#include "platform/Text.h"
#include "processing/UServiceThread.h"
#include "qc/UQCGhostscript.h"
#include "qc/UQCManager.h"

using platform::ExitStatus;
using platform::Format;
using platform::TExitOutcome;
using namespace velmar;

namespace {

constexpr const char* kCat = "SERVICE";
// The status of a start that did not succeed: wrong settings are told apart,
// so that the service manager does not start the service again in vain.
int StartFailureStatus(const TVelmarService& service) {
  return ExitStatus(service.ConfigValid() ? TExitOutcome::failed
                                          : TExitOutcome::invalid_configuration);
}

// A file the laboratory fills in (config.ini, the QC targets), made from
// the example installed beside it when it is missing. The Windows package
// installs only the examples, so neither an upgrade nor a removal can touch
// what the laboratory wrote. Written under a temporary name, then renamed
// without replacing: a file put there meanwhile wins. True when made.
bool ProvideFromExample(const std::string& folder, const std::string& name) {
  const std::string target = platform::JoinPath(folder, name);
  const std::string example = target + ".example";
  if (platform::FileExists(target) || !platform::FileExists(example)) return false;
  std::string bytes;
  if (!platform::ReadFileBytes(example, bytes).Ok()) return false;
  const std::string pending = target + ".new";
  const bool made = platform::WriteFileBytes(pending, bytes).Ok() &&
                    platform::RenameNoReplace(pending, target).Ok();
  if (!made && platform::FileExists(pending)) (void)platform::RemoveFile(pending);
  return made;
}

platform::TServiceDescription ServiceDescription() {
  return {SERVICE_NAME, SERVICE_DISPLAY, SERVICE_DESCRIPTION, platform::ExePath()};
}

}  // namespace

TVelmarService::TVelmarService(std::string exeFolder)
    : FExeFolder(platform::IncludeTrailingDelimiter(exeFolder)) {
  ServiceCreate(this);
}

TVelmarService::~TVelmarService() {
  ServiceDestroy(this);
}

void TVelmarService::ServiceCreate(TVelmarService* /*Sender*/) {
  FDisplayName = SERVICE_DISPLAY;
  FConfigValid = false;
  FThread.reset();
}

void TVelmarService::ServiceDestroy(TVelmarService* /*Sender*/) {
  if (FDestroyed) return;
  FDestroyed = true;
  FThread.reset();  // joins a thread still running
  FinalizeQCManager();
  FinalizeZBar();
  FinalizeLogger();
}

void TVelmarService::DebugLog(const std::string& Msg) {
  const std::string line =
      platform::FormatDateTime("hh:nn:ss", platform::Now()) + " " + Msg + "\r\n";
  (void)platform::AppendToFile(platform::JoinPath(FExeFolder, "debug_start.txt"),
                               platform::Utf8ToAnsi(line));
}

bool TVelmarService::LoadAndValidateConfig() {
  bool Result = false;
  TConfigValidation Validation;
  FConfigErrors.clear();
  try {
    FConfig = TAppConfig{};
    Result = LoadConfig(FExeFolder, FConfig, Validation);
    FConfigErrors = Validation.Errors;
    InitLogger(FConfig, SERVICE_NAME);
    LogInfo(kCat, "ExeFolder = [" + FConfig.ExeFolder + "]");
    if (InitZBar(FConfig.ExeFolder)) {
      LogInfo(kCat, "ZBar initialisé avec succès");
    } else {
      LogWarning(kCat, "ZBar non disponible", 0);
    }
    LogConfigValidation(Validation);
    if (!Result) {
      LogCritical(kCat, "Configuration invalide — service ne peut pas demarrer", EVT_CONFIG_ERROR);
      platform::NotifyStatus("Configuration invalide — voir le journal");
      SetFlag(FLAG_CONFIG_ERROR, "Configuration invalide");
    } else {
      ClearFlag(FLAG_CONFIG_ERROR);
      Log(llInfo, kCat,
          Format("Configuration chargee — %d instrument(s) | Cycle: %ds", FConfig.InstrCount,
                 FConfig.Cycle),
          0);
    }
  } catch (const std::exception&) {
    LogCritical(
        kCat, "Exception chargement config : " + platform::ExceptionText(std::current_exception()),
        EVT_CONFIG_ERROR);
  }
  FreeConfigValidation(Validation);
  return Result;
}

void TVelmarService::LogStartupBanner() {
  const std::string rule(60, '=');
  LogInfo(kCat, rule);
  LogInfo(kCat, std::string(SERVICE_DISPLAY) + " v" + SERVICE_VERSION);
  LogInfo(kCat, "Démarrage : " + platform::FormatDateTime("dd/mm/yyyy hh:nn:ss", platform::Now()));
  LogInfo(kCat, "Plateforme : " + platform::PlatformName());
  LogInfo(kCat, rule);
}

void TVelmarService::ServiceStart(TVelmarService* /*Sender*/, bool& Started) {
  Started = false;
  DebugLog("ServiceStart debut");
  try {
    for (const char* name : {"config.ini", "QC_Target_qual.csv"}) {
      if (ProvideFromExample(FExeFolder, name)) {
        DebugLog(std::string(name) + " cree depuis " + name + ".example");
      }
    }
    DebugLog("LoadAndValidateConfig...");
    FConfigValid = LoadAndValidateConfig();
    if (!FConfigValid) {
      DebugLog("Config invalide - abandon");
      return;
    }
    LogStartupBanner();
    DebugLog("InitQCManager...");
    InitQCManager(FConfig);
    // Ghostscript is the laboratory's to install: one clear line at start
    // when it is missing, not only a failure at each lot report.
    if (const std::string gs = FindGhostscript(FConfig.ExeFolder); !platform::FileExists(gs)) {
      LogWarning(
          kCat,
          "Ghostscript introuvable (" + gs + ") — les rapports QC PDF attendront son installation",
          0);
    }
    DebugLog("Creation thread...");
    FThread = std::make_unique<TVelmarServiceThread>(FConfig);
    FThread->Start();
    Started = true;
    Log(llInfo, kCat, "Service demarré avec succes", EVT_SERVICE_START);
    DebugLog("ServiceStart OK");
  } catch (const std::exception&) {
    const std::string msg = platform::ExceptionText(std::current_exception());
    DebugLog("EXCEPTION: " + msg);
    LogCritical(kCat, "Exception au démarrage : " + msg, EVT_SERVICE_ERROR);
    SetFlag(FLAG_PROCESSING_ERROR, "Exception démarrage service : " + msg);
    Started = false;
  }
}

void TVelmarService::ServiceStop(TVelmarService* /*Sender*/, bool& Stopped) {
  Stopped = false;
  LogInfo(kCat, "Arrêt du service demandé...");
  try {
    if (FThread) {
      FThread->RequestStop();
      if (!FThread->WaitForStop(30000)) {
        LogWarning(kCat, "Thread non terminé après 30s — arrêt forcé", 0);
      }
      FThread.reset();  // joins, without limit: the file in hand is always finished
    }
    FinalizeQCManager();
    Stopped = true;
    Log(llInfo, kCat, "Service arrete proprement", EVT_SERVICE_STOP);
  } catch (const std::exception&) {
    LogError(kCat, "Exception à l'arrêt : " + platform::ExceptionText(std::current_exception()),
             EVT_SERVICE_ERROR);
    Stopped = true;
  }
}

void TVelmarService::ServicePause(TVelmarService* /*Sender*/, bool& Paused) {
  LogInfo(kCat, "Service mis en pause");
  Paused = true;
}

void TVelmarService::ServiceContinue(TVelmarService* /*Sender*/, bool& Continued) {
  LogInfo(kCat, "Service repris");
  Continued = true;
}

void TVelmarService::ServiceShutdown(TVelmarService* Sender) {
  LogInfo(kCat, "Arrêt système détecté — arrêt propre...");
  bool stopped = false;
  ServiceStop(Sender, stopped);
}

void TVelmarService::ServiceExecute(TVelmarService* /*Sender*/,
                                    const platform::TProcessRequests& ProcessRequests) {
  DebugLog("ServiceExecute debut");
  while (!ProcessRequests()) {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  DebugLog("ServiceExecute fin");
}

// --- Program entry -------------------------------------------------------------------

TRunMode SelectRunMode(int argc, const char* const* argv, bool debuggerAttached) {
  // True when one of the arguments is one of `forms`, in any case.
  auto given = [&](std::initializer_list<std::string> forms) {
    for (int i = 1; i < argc; ++i) {
      const std::string arg = argv[i] ? argv[i] : "";
      for (const std::string& form : forms) {
        if (platform::SameTextAscii(arg, form)) return true;
      }
    }
    return false;
  };
  // The switch "-word" or "/word".
  auto has = [&](const std::string& word) { return given({"-" + word, "/" + word}); };
  if (has("help") || given({"--help", "-h", "/h", "-?", "/?"})) return TRunMode::help;
  if (has("version") || given({"--version"})) return TRunMode::version;
  if (has("status")) return TRunMode::status;
  if (has("install")) return TRunMode::install;
  if (has("uninstall")) return TRunMode::uninstall;
  if (has("debug") || debuggerAttached) return TRunMode::debug;
  return TRunMode::service;
}

void PrintHelp(std::ostream& out) {
  out << SERVICE_DISPLAY << " v" << SERVICE_VERSION << "\n"
      << "Usage : " << SERVICE_NAME << " [-install | -uninstall | -debug | -status]\n"
      << "Sans option : fonctionne comme service, lance par " << platform::ServiceManagerName()
      << " (" << platform::ServiceStartCommandText(SERVICE_NAME) << ").\n"
      << "Une option commence par \"-\" ou \"/\", en majuscules ou minuscules.\n"
      << "\n"
      << "Options :\n"
      << "  -install : installe et active le service " << platform::ServiceManagerName()
      << " (sans le demarrer)\n"
      << "  -uninstall : arrete, desactive et supprime le service\n"
      << "  -debug : lance le service dans la console ; \"stop\" puis ENTREE l'arrete\n"
      << "  -status : affiche l'état du service (0 normal, 1 avertissement, 2 critique)\n"
      << "  --help, -h, /? : affiche cette aide\n"
      << "  --version : affiche le nom et la version\n"
      << "\n"
      << "Fichiers lus (dossier de l'executable) :\n"
      << "  config.ini : configuration ([Main], [Multi]), lue au demarrage\n"
      << "  QC_Target_qual.csv : valeurs cibles du controle qualite\n"
      << "Fichiers ecrits (dossier de l'executable) :\n"
      << "  log/service.log, log/debug.log, log/error.log : journaux\n"
      << "  log/done/ : fichiers resultat classes apres traitement\n"
      << "  log/wrong_images/ : images dont le code-barres manque ou differe\n"
      << "  log/journal/ : etapes faites du fichier en cours\n"
      << "  QC/log.txt : lectures du controle qualite\n"
      << "  Glims_log.csv : envois GLIMS deja faits\n"
      << "  config_error.flag, processing_error.flag, instrument_error.flag,\n"
      << "  instrument_error_<n>.flag : indicateurs pour la surveillance\n"
      << "  debug_start.txt : trace du demarrage\n"
      << "Dossiers de config.ini :\n"
      << "  lus : traVelmar<n> (fichiers resultat), imagesVelmar<n> (photographies)\n"
      << "  ecrits : ImageDest (images), ResizedImageDest (copies reduites), QCDest (images\n"
      << "  QC), QCReportDest (rapports QC), Dest_Vededavav (XML), InfoToLis (envois GLIMS)\n"
      << "\n"
      << "Codes de sortie :\n"
      << "  " << ExitStatus(TExitOutcome::ok)
      << " : succes (aussi pour un service deja installe, ou deja absent)\n"
      << "  " << ExitStatus(TExitOutcome::failed)
      << " : echec (installation, desinstallation, demarrage, gestionnaire de services\n"
      << "      injoignable)\n"
      << "  " << ExitStatus(TExitOutcome::invalid_configuration)
      << " : configuration invalide (-debug et service) ; le service n'est pas relance\n";
}

void PrintVersion(std::ostream& out) {
  out << SERVICE_NAME << " " << SERVICE_VERSION << "\n" << SERVICE_DISPLAY << "\n";
}

bool IsStopCommand(const std::string& line) {
  return platform::LowerAscii(platform::Trim(line)) == "stop";
}

int InstallService(std::ostream& out) {
  const platform::TServiceInstallResult result = platform::RegisterService(ServiceDescription());
  switch (result.Outcome) {
    case platform::TInstallOutcome::no_rights:
      out << "Erreur : impossible d'ouvrir le SCM (droits administrateur requis)\n";
      return ExitStatus(TExitOutcome::failed);
    case platform::TInstallOutcome::already_installed:
      out << "Service deja installe.\n";
      return ExitStatus(TExitOutcome::ok);
    case platform::TInstallOutcome::failed:
      out << "Erreur installation : " << result.Os.Code << "\n";
      return ExitStatus(TExitOutcome::failed);
    case platform::TInstallOutcome::installed:
      break;
  }
  out << "Service installe avec succes : " << SERVICE_NAME << "\n";
  out << "Demarrage : " << platform::ServiceStartCommandText(SERVICE_NAME) << "\n";
  return ExitStatus(TExitOutcome::ok);
}

int UninstallService(std::ostream& out) {
  const platform::TServiceUninstallResult result = platform::UnregisterService(
      ServiceDescription(), [&out](const std::string& line) { out << line << "\n"
                                                                  << std::flush; });
  switch (result.Outcome) {
    case platform::TUninstallOutcome::no_rights:
      out << "Erreur : droits administrateur requis\n";
      return ExitStatus(TExitOutcome::failed);
    case platform::TUninstallOutcome::not_installed:
      out << "Service non trouve.\n";
      return ExitStatus(TExitOutcome::ok);
    case platform::TUninstallOutcome::failed:
      out << "Erreur desinstallation : " << result.Os.Code << "\n";
      return ExitStatus(TExitOutcome::failed);
    case platform::TUninstallOutcome::uninstalled:
      out << "Service desinstalle avec succes.\n";
      return ExitStatus(TExitOutcome::ok);
  }
  return ExitStatus(TExitOutcome::failed);
}

int RunDebug(const std::string& exeFolder, std::istream& in, std::ostream& out) {
  out << "=== Velmar Image Service - MODE DEBUG ===\n"
      << "Demarrage simulation service...\n"
      << "Ctrl+C pour arreter\n\n"
      << std::flush;
  TVelmarService service(exeFolder);
  bool Started = false;
  service.ServiceStart(&service, Started);
  if (const std::string Why = LogWriteFailure(); !Why.empty())
    out << "ATTENTION : ecriture du journal impossible : " << Why << "\n" << std::flush;
  if (Started) {
    out << "Service demarre — logs dans .\\log\\service.log\n"
        << "Tapez \"stop\" puis ENTREE pour arreter...\n"
        << std::flush;
    std::string Cmd;
    // The end of the input counts as "stop": a closed console cannot type it.
    while (std::getline(in, Cmd)) {
      if (IsStopCommand(Cmd)) break;
    }
    bool Stopped = false;
    service.ServiceStop(&service, Stopped);
    return ExitStatus(TExitOutcome::ok);
  }
  for (const std::string& Error : service.ConfigErrors()) out << Error << "\n";
  out << "ERREUR : verifier config.ini\n" << std::flush;
  return StartFailureStatus(service);
}

int RunService(const std::string& exeFolder, std::ostream& err) {
  TVelmarService service(exeFolder);
  platform::TServiceHandlers handlers;
  handlers.Start = [&service] {
    bool Started = false;
    service.ServiceStart(&service, Started);
    return Started;
  };
  handlers.Stop = [&service] {
    bool Stopped = false;
    service.ServiceStop(&service, Stopped);
  };
  handlers.Pause = [&service] {
    bool Paused = false;
    service.ServicePause(&service, Paused);
  };
  handlers.Continue = [&service] {
    bool Continued = false;
    service.ServiceContinue(&service, Continued);
  };
  handlers.Shutdown = [&service] { service.ServiceShutdown(&service); };
  handlers.StartFailureStatus = [&service] { return StartFailureStatus(service); };
  handlers.Execute = [&service](const platform::TProcessRequests& ProcessRequests) {
    service.ServiceExecute(&service, ProcessRequests);
  };
  const platform::TServiceRunResult run = platform::RunUnderServiceManager(SERVICE_NAME, handlers);
  switch (run.Outcome) {
    case platform::TServiceRunOutcome::not_connected: {
      const std::string message =
          "Connexion au gestionnaire de services impossible : " + run.Text +
          ". Demarrage : " + platform::ServiceStartCommandText(SERVICE_NAME) +
          " ; diagnostic en console : -debug";
      platform::ReportServiceError(SERVICE_NAME, message);
      err << message << "\n";
      return ExitStatus(TExitOutcome::failed);
    }
    case platform::TServiceRunOutcome::start_failed:
      return StartFailureStatus(service);
    case platform::TServiceRunOutcome::stopped:
      break;
  }
  return ExitStatus(TExitOutcome::ok);
}
