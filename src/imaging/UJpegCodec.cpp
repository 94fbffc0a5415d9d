// libjpeg-turbo behind UJpegCodec.h.
//
// libjpeg reports fatal errors through a callback that must not return. The
// callback here long-jumps back to the one function that started the work;
// those functions (RunDecode, RunEncode) hold no object with a destructor,
// and everything libjpeg changes lives in a job record owned by the caller,
// so the jump skips nothing and reads nothing stale.
#include "imaging/UJpegCodec.h"

#include <algorithm>
#include <bit>
#include <csetjmp>
#include <cstdio>
#include <cstdlib>
#include <cstring>

// clang-format off
#include <jpeglib.h>
#include <jerror.h>
// clang-format on

#include "platform/Text.h"

namespace {

// A raster pixel is a native-endian 32-bit 0x00RRGGBB.
constexpr J_COLOR_SPACE RASTER_COLOR_SPACE =
    std::endian::native == std::endian::little ? JCS_EXT_BGRX : JCS_EXT_XRGB;

struct TJpegErrorManager {
  jpeg_error_mgr Pub;
  std::jmp_buf Jump;
  char Message[JMSG_LENGTH_MAX];
};

[[noreturn]] void OnFatalError(j_common_ptr Info) {
  auto* Err = reinterpret_cast<TJpegErrorManager*>(Info->err);
  Info->err->format_message(Info, Err->Message);
  std::longjmp(Err->Jump, 1);
}

// Warnings that mean picture data was lost (the rest of the picture would
// be grey or garbled) are fatal; the others are counted and ignored.
void OnMessage(j_common_ptr Info, int Level) {
  if (Level >= 0) return;  // trace output
  switch (Info->err->msg_code) {
    case JWRN_JPEG_EOF:
    case JWRN_HIT_MARKER:
    case JWRN_HUFF_BAD_CODE:
    case JWRN_MUST_RESYNC:
      OnFatalError(Info);
    default:
      Info->err->num_warnings++;
  }
}

void OnOutput(j_common_ptr /*Info*/) {}  // nothing goes to stderr

void InstallErrorManager(TJpegErrorManager& Err) {
  jpeg_std_error(&Err.Pub);
  Err.Pub.error_exit = OnFatalError;
  Err.Pub.emit_message = OnMessage;
  Err.Pub.output_message = OnOutput;
  Err.Message[0] = '\0';
}

struct TDecodeJob {
  jpeg_decompress_struct Info;
  TJpegErrorManager Err;
  const unsigned char* Data;
  unsigned long Size;
  bool HeaderOnly;
  TJpegRowTarget Target;
  int ImageWidth;  // as announced by the header
  int ImageHeight;
};

bool RunDecode(TDecodeJob* Job) {
  jpeg_decompress_struct* Info = &Job->Info;
  InstallErrorManager(Job->Err);
  Info->err = &Job->Err.Pub;
  if (setjmp(Job->Err.Jump) != 0) {
    jpeg_destroy_decompress(Info);
    return false;
  }
  jpeg_create_decompress(Info);
  jpeg_mem_src(Info, Job->Data, Job->Size);
  jpeg_read_header(Info, TRUE);
  Job->ImageWidth = static_cast<int>(Info->image_width);
  Job->ImageHeight = static_cast<int>(Info->image_height);
  if (Info->image_width > JPEG_MAX_SIDE || Info->image_height > JPEG_MAX_SIDE) {
    std::snprintf(Job->Err.Message, sizeof Job->Err.Message,
                  "dimensions refusées %ux%u (au plus %d pixels par côté)", Info->image_width,
                  Info->image_height, JPEG_MAX_SIDE);
    jpeg_destroy_decompress(Info);
    return false;
  }
  if (int64_t{Info->image_width} * Info->image_height > JPEG_MAX_PIXELS) {
    std::snprintf(Job->Err.Message, sizeof Job->Err.Message,
                  "dimensions refusées %ux%u (au plus %lld pixels en tout)", Info->image_width,
                  Info->image_height, static_cast<long long>(JPEG_MAX_PIXELS));
    jpeg_destroy_decompress(Info);
    return false;
  }
  if (Job->HeaderOnly) {
    jpeg_destroy_decompress(Info);
    return true;
  }
  Info->out_color_space = RASTER_COLOR_SPACE;
  jpeg_calc_output_dimensions(Info);
  const TJpegRowTarget& Target = Job->Target;
  if (!Target.Start(Target.Context, static_cast<int>(Info->output_width),
                    static_cast<int>(Info->output_height), Job->Err.Message,
                    sizeof Job->Err.Message)) {
    jpeg_destroy_decompress(Info);
    return false;
  }
  jpeg_start_decompress(Info);
  JSAMPROW RowPointers[JPEG_ROWS_PER_CALL];
  while (Info->output_scanline < Info->output_height) {
    const unsigned First = Info->output_scanline;
    const unsigned Count =
        std::min<unsigned>(JPEG_ROWS_PER_CALL, Info->output_height - Info->output_scanline);
    for (unsigned i = 0; i < Count; ++i) {
      RowPointers[i] = Target.Row(Target.Context, static_cast<int>(First + i));
    }
    const unsigned Read = jpeg_read_scanlines(Info, RowPointers, Count);
    if (Target.Done != nullptr) {
      Target.Done(Target.Context, static_cast<int>(First), static_cast<int>(Read));
    }
  }
  jpeg_finish_decompress(Info);
  jpeg_destroy_decompress(Info);
  return true;
}

bool StartRaster(void* Context, int Width, int Height, char* Error, size_t ErrorSize) {
  auto* Raster = static_cast<TRaster*>(Context);
  std::string Reason;
  if (!SizeRaster(*Raster, Width, Height, Reason)) {
    std::snprintf(Error, ErrorSize, "%s", Reason.c_str());
    return false;
  }
  return true;
}

uint8_t* RasterRow(void* Context, int Y) {
  const auto* Raster = static_cast<const TRaster*>(Context);
  return Raster->Pixels + static_cast<size_t>(Y) * static_cast<size_t>(Raster->Stride);
}

struct TEncodeJob {
  jpeg_compress_struct Info;
  TJpegErrorManager Err;
  const uint8_t* Pixels;
  int Width;
  int Height;
  int Stride;
  unsigned char* Out;  // malloc'ed by libjpeg; the caller frees it
  unsigned long OutSize;
};

bool RunEncode(TEncodeJob* Job) {
  jpeg_compress_struct* Info = &Job->Info;
  InstallErrorManager(Job->Err);
  Info->err = &Job->Err.Pub;
  if (setjmp(Job->Err.Jump) != 0) {
    jpeg_destroy_compress(Info);
    return false;
  }
  jpeg_create_compress(Info);
  jpeg_mem_dest(Info, &Job->Out, &Job->OutSize);
  Info->image_width = static_cast<JDIMENSION>(Job->Width);
  Info->image_height = static_cast<JDIMENSION>(Job->Height);
  Info->input_components = 4;
  Info->in_color_space = RASTER_COLOR_SPACE;
  jpeg_set_defaults(Info);
  jpeg_set_quality(Info, JPEG_QUALITY, TRUE);
  jpeg_start_compress(Info, TRUE);
  JSAMPROW RowPointers[JPEG_ROWS_PER_CALL];
  while (Info->next_scanline < Info->image_height) {
    const unsigned First = Info->next_scanline;
    const unsigned Count = std::min<unsigned>(JPEG_ROWS_PER_CALL, Info->image_height - First);
    for (unsigned i = 0; i < Count; ++i) {
      RowPointers[i] = const_cast<JSAMPROW>(Job->Pixels + static_cast<size_t>(First + i) *
                                                              static_cast<size_t>(Job->Stride));
    }
    jpeg_write_scanlines(Info, RowPointers, Count);
  }
  jpeg_finish_compress(Info);
  jpeg_destroy_compress(Info);
  return true;
}

bool CheckInput(std::string_view Jpeg, std::string& Error) {
  if (Jpeg.empty()) {
    Error = "fichier vide";
    return false;
  }
  return true;
}

}  // namespace

bool ReadJpegSize(std::string_view Jpeg, int& Width, int& Height, std::string& Error) {
  Width = Height = 0;
  if (!CheckInput(Jpeg, Error)) return false;
  TDecodeJob Job{};
  Job.Data = reinterpret_cast<const unsigned char*>(Jpeg.data());
  Job.Size = Jpeg.size();
  Job.HeaderOnly = true;
  if (!RunDecode(&Job)) {
    Error = Job.Err.Message;
    return false;
  }
  Width = Job.ImageWidth;
  Height = Job.ImageHeight;
  return true;
}

bool IsWholeJpeg(std::string_view Jpeg) {
  int Width = 0, Height = 0;
  std::string Error;
  return Jpeg.size() >= 4 && static_cast<unsigned char>(Jpeg[Jpeg.size() - 2]) == 0xFF &&
         static_cast<unsigned char>(Jpeg.back()) == 0xD9 &&
         ReadJpegSize(Jpeg, Width, Height, Error);
}

bool DecodeJpegRows(std::string_view Jpeg, const TJpegRowTarget& Target, std::string& Error) {
  if (!CheckInput(Jpeg, Error)) return false;
  TDecodeJob Job{};
  Job.Data = reinterpret_cast<const unsigned char*>(Jpeg.data());
  Job.Size = Jpeg.size();
  Job.Target = Target;
  if (!RunDecode(&Job)) {
    Error = Job.Err.Message;
    return false;
  }
  return true;
}

bool DecodeJpeg(std::string_view Jpeg, TRaster& Raster, std::string& Error) {
  TJpegRowTarget Target;
  Target.Context = &Raster;
  Target.Start = StartRaster;
  Target.Row = RasterRow;
  const bool Ok = DecodeJpegRows(Jpeg, Target, Error);
  MarkRasterChanged(Raster);
  return Ok;
}

bool EncodeJpeg(const TRaster& Raster, std::string& Jpeg, std::string& Error) {
  Jpeg.clear();
  if (Raster.Pixels == nullptr) {
    Error = "image vide";
    return false;
  }
  FlushRasterDrawing(Raster);
  TEncodeJob Job{};
  Job.Pixels = Raster.Pixels;
  Job.Width = Raster.Width;
  Job.Height = Raster.Height;
  Job.Stride = Raster.Stride;
  const bool Ok = RunEncode(&Job);
  if (Ok) {
    Jpeg.assign(reinterpret_cast<const char*>(Job.Out), Job.OutSize);
  } else {
    Error = Job.Err.Message;
  }
  std::free(Job.Out);
  return Ok;
}
