#pragma once

// Drawing of the composite picture: the photograph's strips re-assembled on
// a taller canvas, the masks of unused wells, the header, the reagent grid,
// the footer and the alert border; and the decoding of QC identifiers shown
// in the header.

#include <string>
#include <string_view>

#include "astm/UASTMParser.h"
#include "imaging/UCassetteRules.h"
#include "imaging/UImageCanvas.h"

// --- Composite layout (pixels) ------------------------------------------------------

constexpr int COMPOSITE_HEIGHT = 2888;
constexpr int CROP_TOP_SRC_Y1 = 0, CROP_TOP_SRC_Y2 = 875;
constexpr int CROP_TOP_DST_Y1 = 200, CROP_TOP_DST_Y2 = 1075;
constexpr int CROP_BAR_SRC_Y1 = 875, CROP_BAR_SRC_Y2 = 1408;
constexpr int CROP_BAR_DST_Y1 = 2278, CROP_BAR_DST_Y2 = 2818;
constexpr int CROP_BOT_SRC_Y1 = 1460, CROP_BOT_SRC_Y2 = 2400;
constexpr int CROP_BOT_DST_Y1 = 1368, CROP_BOT_DST_Y2 = 2378;
constexpr int WHITE_HEADER_Y1 = 0, WHITE_HEADER_Y2 = 260;
constexpr int WHITE_GRID_Y1 = 1075, WHITE_GRID_Y2 = 1408;
constexpr int WHITE_BAR_SEP_Y1 = 2278, WHITE_BAR_SEP_Y2 = 2368;
constexpr int WHITE_LABEL_Y1 = 2738, WHITE_LABEL_Y2 = 2888;
constexpr int MASK_Y_TOP = 260, MASK_Y_BOTTOM = 2278;
constexpr TRgbColor MASK_COLOR = COLOR_LIGHT_GREY;
constexpr int GRID_ROWS = 3;
constexpr int HDR_FONT_HEIGHT = 72;
constexpr int GRID_FONT_HEIGHT = 58;
constexpr int HDR_Y_LINE1 = 1, HDR_Y_LINE2 = 63, HDR_Y_LINE3 = 126, HDR_Y_LINE4 = 189;
constexpr int HDR_Y_FOOTER1 = 2288, HDR_Y_FOOTER2 = 2736;
constexpr int BORDER_PEN_WIDTH = 18, BORDER_MARGIN = 5;

// The web address shown in the footer.
constexpr const char* FOOTER_WEB_ADDRESS = "velmar.lab";

// The photograph row copied to composite row Y, or -1 when the composite
// row is a white band (the three strips replicate the nearest source rows).
int CompositeSourceRow(int Y);

// --- Rendering ---------------------------------------------------------------------------
// Sizes Dest to the photograph's width x COMPOSITE_HEIGHT and fills it with
// the photograph's strips and the white bands (rows the photograph lacks
// are white). False with a reason when the raster cannot be made.
bool CropAndAssembleImage(const TRaster& Photo, TCanvas& Dest, std::string& Error);
// The same straight from the photograph's JPEG bytes: each row is decoded
// into its place in the composite, without a raster of the whole
// photograph. False with the decoder's reason when the photograph cannot be
// read (damaged, truncated, absurd size): Dest's content is then undefined.
bool CropAndAssembleFromJpeg(std::string_view PhotoJpeg, TCanvas& Dest, std::string& Error);
void MaskUnusedWells(TCanvas& Canvas, int ImageWidth, const TCassetteGroup& Group);
void DrawHeader(TCanvas& Canvas, int ImageWidth, const TASTMMessage& Msg,
                const TCassetteGroup& Group, const std::string& Language, int BagStart,
                int BagLength);
void DrawReagentGrid(TCanvas& Canvas, int ImageWidth, const TCassetteGroup& Group, int BagStart,
                     int BagLength);
void DrawFooter(TCanvas& Canvas, int ImageWidth, const TCassetteGroup& Group,
                const std::string& Validation, const std::string& Language,
                const std::string& PanelName);
void DrawAlertBorder(TCanvas& Canvas, int ImageWidth, int ImageHeight, TAlertBorderType Border);
// Draws Text centred in CellRect (halvings truncated towards zero).
void DrawCenteredText(TCanvas& Canvas, const TRect& CellRect, const std::string& Text);
// Switches the canvas font to non-antialiased glyphs.
void DisableClearType(TCanvas& Canvas);
// Tube, lot and expiry ("dd/mm/yyyy") encoded in a QC sample identifier;
// an identifier that does not decode is returned whole as the tube. The
// expiry year is taken near the current year (platform::Now).
void QCDecodeOID(const std::string& OID, std::string& QCTube, std::string& QCLot,
                 std::string& QCExpStr);
