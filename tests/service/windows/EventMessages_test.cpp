// The executable carries the event log's message table: every event id the
// service reports resolves to the entry's own text, as Event Viewer reads it.
#include <windows.h>

#include <gtest/gtest.h>

#include "logging/ULogger.h"
#include "platform/windows/WideText.h"

TEST(EventMessagesTest, EveryEventIdResolvesToTheEntrysOwnText) {
  const HMODULE exe = LoadLibraryExW(platform::windows::Widen(VELMAR_EXE_PATH).c_str(), nullptr,
                                     LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE);
  ASSERT_NE(exe, nullptr) << GetLastError();
  const std::wstring entry = L"Configuration invalide — service ne peut pas demarrer";
  for (const uint32_t id :
       {0u, EVT_SERVICE_START, EVT_SERVICE_STOP, EVT_SERVICE_ERROR, EVT_LOG_WRITE_ERROR,
        EVT_LOG_WRITE_OK, EVT_CONFIG_ERROR, EVT_CONFIG_WARNING, EVT_INSTRUMENT_OK,
        EVT_INSTRUMENT_ERROR, EVT_INSTRUMENT_WARN, EVT_PROCESSING_ERROR, EVT_PROCESSING_OK,
        EVT_QC_REPORT, EVT_QC_ERROR, EVT_GLIMS_ERROR}) {
    DWORD_PTR args[] = {reinterpret_cast<DWORD_PTR>(entry.c_str())};
    wchar_t text[512] = {};
    const DWORD n = FormatMessageW(FORMAT_MESSAGE_FROM_HMODULE | FORMAT_MESSAGE_ARGUMENT_ARRAY, exe,
                                   id, 0, text, 512, reinterpret_cast<va_list*>(args));
    ASSERT_GT(n, 0u) << "event id " << id << ": " << GetLastError();
    EXPECT_EQ(std::wstring(text, n), entry + L"\r\n") << "event id " << id;
  }
  FreeLibrary(exe);
}
