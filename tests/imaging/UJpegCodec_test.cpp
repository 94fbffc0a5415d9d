// The JPEG codec: baseline output, and unreadable pictures refused without
// ending the process.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>

#include "imaging/ImagingTestData.h"
#include "imaging/UCompositeRender.h"
#include "imaging/UJpegCodec.h"
#include "samplelab/SamplePhoto.h"

namespace {

// Markers of a JPEG up to its first scan: SOF0 is baseline, SOF2 progressive.
bool HasMarker(const std::string& Jpeg, uint8_t Marker) {
  size_t i = 2;
  while (i + 4 <= Jpeg.size() && static_cast<uint8_t>(Jpeg[i]) == 0xFF) {
    const auto Code = static_cast<uint8_t>(Jpeg[i + 1]);
    if (Code == Marker) return true;
    if (Code == 0xDA) return false;
    i += 2 + ((static_cast<uint8_t>(Jpeg[i + 2]) << 8) | static_cast<uint8_t>(Jpeg[i + 3]));
  }
  return false;
}

std::string SmallPhoto() {
  TSamplePhotoOptions Options;
  Options.Width = 240;
  Options.Height = 360;
  std::string Jpeg, Error;
  EXPECT_TRUE(MakeSamplePhotoJpeg(Options, Jpeg, Error)) << Error;
  return Jpeg;
}

}  // namespace

TEST(JpegCodec, EncodesBaselineThatDecodesToTheSamePicture) {
  TRaster Raster;
  std::string Error;
  ASSERT_TRUE(SizeRaster(Raster, 64, 48, Error)) << Error;
  for (int Y = 0; Y < 48; ++Y) {
    for (int X = 0; X < 64; ++X) SetPixel(Raster, X, Y, X < 32 ? COLOR_RED : COLOR_NAVY);
  }
  MarkRasterChanged(Raster);
  std::string Jpeg;
  ASSERT_TRUE(EncodeJpeg(Raster, Jpeg, Error)) << Error;
  EXPECT_TRUE(HasMarker(Jpeg, 0xC0));
  EXPECT_FALSE(HasMarker(Jpeg, 0xC2));

  int Width = 0, Height = 0;
  ASSERT_TRUE(ReadJpegSize(Jpeg, Width, Height, Error)) << Error;
  EXPECT_EQ(Width, 64);
  EXPECT_EQ(Height, 48);
  TRaster Decoded;
  ASSERT_TRUE(DecodeJpeg(Jpeg, Decoded, Error)) << Error;
  const TRgbColor Red = GetPixel(Decoded, 8, 8), Navy = GetPixel(Decoded, 56, 40);
  EXPECT_NEAR(Red.R, 255, 6);
  EXPECT_NEAR(Red.G, 0, 6);
  EXPECT_NEAR(Navy.B, 128, 6);
  EXPECT_NEAR(Navy.R, 0, 6);
}

TEST(JpegCodec, DamagedTruncatedAndEmptyPicturesAreUnreadable) {
  const std::string Jpeg = SmallPhoto();
  TRaster Raster;
  std::string Error;
  ASSERT_TRUE(DecodeJpeg(Jpeg, Raster, Error)) << Error;

  EXPECT_FALSE(DecodeJpeg(Jpeg.substr(0, Jpeg.size() * 6 / 10), Raster, Error));
  EXPECT_NE(Error.find("Premature end"), std::string::npos) << Error;

  EXPECT_FALSE(DecodeJpeg(Jpeg.substr(0, 100), Raster, Error));
  EXPECT_FALSE(DecodeJpeg("GIF89a not a jpeg at all", Raster, Error));
  EXPECT_NE(Error.find("Not a JPEG file"), std::string::npos) << Error;
  EXPECT_FALSE(DecodeJpeg("", Raster, Error));
  EXPECT_FALSE(Error.empty());

  // Scrambled picture data (the headers kept) never decodes to a picture
  // without complaint and never ends the process.
  std::string Scrambled = Jpeg;
  srand(7);
  for (size_t i = Scrambled.size() / 2; i < Scrambled.size() - 2; i += 7) {
    Scrambled[i] = static_cast<char>(rand());
  }
  EXPECT_FALSE(DecodeJpeg(Scrambled, Raster, Error));
  EXPECT_NE(Error.find("Corrupt JPEG data"), std::string::npos) << Error;
}

TEST(JpegCodec, AbsurdSizesAreRefusedBeforeAllocating) {
  std::string Jpeg = SmallPhoto();
  // Rewrite the frame header's height and width to 30000 x 30000.
  const size_t Sof = Jpeg.find("\xFF\xC0");
  ASSERT_NE(Sof, std::string::npos);
  Jpeg[Sof + 5] = Jpeg[Sof + 7] = static_cast<char>(30000 >> 8);
  Jpeg[Sof + 6] = Jpeg[Sof + 8] = static_cast<char>(30000 & 0xFF);

  int Width = 0, Height = 0;
  std::string Error;
  EXPECT_FALSE(ReadJpegSize(Jpeg, Width, Height, Error));
  EXPECT_NE(Error.find("30000x30000"), std::string::npos) << Error;
  TRaster Raster;
  EXPECT_FALSE(DecodeJpeg(Jpeg, Raster, Error));
  EXPECT_EQ(Raster.Pixels, nullptr);
}

TEST(JpegCodec, PhotographsBeyondThePixelBudgetAreRefusedFromTheirHeader) {
  // A real 20000 x 10 picture: its composite would be 20000 pixels wide.
  TRaster Wide;
  std::string Error;
  ASSERT_TRUE(SizeRaster(Wide, 20000, 10, Error)) << Error;
  std::memset(Wide.Pixels, 0xFF, static_cast<size_t>(Wide.Stride) * Wide.Height);
  MarkRasterChanged(Wide);
  std::string Jpeg;
  ASSERT_TRUE(EncodeJpeg(Wide, Jpeg, Error)) << Error;
  TCanvas Dest;
  EXPECT_FALSE(CropAndAssembleFromJpeg(Jpeg, Dest, Error));
  EXPECT_EQ(Error, "dimensions refusées 20000x10 (au plus 10000 pixels par côté)");
  EXPECT_EQ(Dest.Bmp.Pixels, nullptr);

  // 7000 x 7000 stays within the sides but not within the pixels in all.
  Jpeg = SmallPhoto();
  const size_t Sof = Jpeg.find("\xFF\xC0");
  ASSERT_NE(Sof, std::string::npos);
  Jpeg[Sof + 5] = Jpeg[Sof + 7] = static_cast<char>(7000 >> 8);
  Jpeg[Sof + 6] = Jpeg[Sof + 8] = static_cast<char>(7000 & 0xFF);
  TRaster Raster;
  EXPECT_FALSE(DecodeJpeg(Jpeg, Raster, Error));
  EXPECT_EQ(Error, "dimensions refusées 7000x7000 (au plus 40000000 pixels en tout)");
  EXPECT_EQ(Raster.Pixels, nullptr);
}
