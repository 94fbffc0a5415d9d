#pragma once

// XML export of antibody-screening results: one small UTF-8 document per
// result file whose wells use the screening reagent panel, written into the
// folder the screening system reads. Log lines go to the category "XML".

#include <string>

#include "astm/UASTMParser.h"
#include "platform/OsResult.h"

// Class ids of the three screening reagents.
constexpr int UR_SURG1_ID = 33;
constexpr int UR_SURG2_ID = 34;
constexpr int UR_SURG3_ID = 35;
// Fixed values of the Program and ImageName attributes.
constexpr const char* XML_PROGRAM = "08 AbScr Surg Poly";
constexpr const char* XML_IMAGE_NAME = "ImageName";

// 33, 34 or 35 when the trimmed name contains "Surg1"/"surg1", "Surg2"/"surg2"
// or "Surg3"/"surg3" (tested in that order); 0 otherwise. Other spellings,
// all capitals for instance, are not screening reagents.
int GetSurgURClassID(const std::string& ReagentName);

// True when the message is valid and at least one M record of any result
// names a screening reagent in its Reagent field.
bool IsSurgiscreenMessage(const TASTMMessage& Msg);

// Escapes "&" (first), "<", ">", the double quote and "'" as entities, and
// drops control characters below 0x20 other than tab, line feed and carriage
// return, which no XML document may hold.
std::string XMLEscape(const std::string& S);

// Trims the text; short form: its first 8 characters (empty when it has
// fewer); long form: its first 14 characters, or the whole text when shorter.
std::string FormatASTMDateForXML(const std::string& DateStr, bool ShortForm);

// The whole document: declaration, patient, one sample element per order,
// one test element per result holding screening wells; CR LF after each line.
std::string BuildXMLContent(const TASTMMessage& Msg);

// Writes the document (UTF-8 with byte-order mark) into DestFolder under the
// source file's own name, replacing an existing file only once the new one is
// complete. Returns the full path written, or empty when nothing was written
// (every reason is logged). Outcome, when given, tells whether the machine
// kept the document from being written, with the machine's reason.
std::string ExportToXML(const TASTMMessage& Msg, const std::string& DestFolder,
                        platform::TStageOutcome* Outcome = nullptr);
