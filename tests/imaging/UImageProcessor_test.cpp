// The image pipeline on real files: saving, reduced copies, borders, the
// wrong_images set-aside, and photographs that cannot be used.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <utility>

#include "imaging/ImagingTestData.h"
#include "imaging/UCompositeRender.h"
#include "imaging/UImageProcessor.h"
#include "imaging/UJpegCodec.h"
#include "logging/ULogger.h"
#include "platform/Files.h"
#include "platform/Text.h"
#include "samplelab/SamplePhoto.h"
#include "support/TempFolder.h"

namespace {

using imaging_test::TTestCassette;
using testing_support::ReadAll;

// The name the pipeline gives the picture of cassette 123456 with all six
// wells of the test message.
const std::string PICTURE = "240101234_ABO_Rh_2_x_A12345_y_123456_123456.jpg";

class ImagePipelineTest : public testing_support::TempFolderTest {
 protected:
  void SetUp() override {
    TempFolderTest::SetUp();
    Config = imaging_test::MakeConfig(dir_);
    Images = Path("images");
    for (const std::string& Folder : {Images, Config.ImageDestFolder, Config.ResizedImageDest}) {
      ASSERT_TRUE(platform::MakeFolders(Folder).Ok());
    }
    InitLogger(Config, "VelmarImageService");
  }
  void TearDown() override {
    FinalizeLogger();
    SetBarcodeCheckForTesting(nullptr);
    TempFolderTest::TearDown();
  }

  void WritePhoto(const std::string& Name, int Width = 400) {
    TSamplePhotoOptions Options;
    Options.Width = Width;
    Options.Noise = 0;
    std::string Error;
    ASSERT_TRUE(WriteSamplePhoto(Options, platform::JoinPath(Images, Name), Error)) << Error;
  }

  int Run(const std::vector<TTestCassette>& Cassettes, TImageResult* Results, int Capacity) {
    return ProcessASTMMessage(imaging_test::MakeMessage(Cassettes), Config, Images, "Automatic",
                              Results, Capacity);
  }

  std::string Log() { return testing_support::ReadAnsiText(Path("log/service.log")); }
  bool Logged(const std::string& Text) { return Log().find(Text) != std::string::npos; }

  static std::vector<std::string> FilesIn(const std::string& Folder) {
    std::vector<std::string> Names;
    EXPECT_TRUE(platform::ListFiles(Folder, "*", Names).Ok());
    return Names;
  }

  static TRaster Decoded(const std::string& File) {
    TRaster Raster;
    std::string Error;
    EXPECT_TRUE(DecodeJpeg(ReadAll(File), Raster, Error)) << File << ": " << Error;
    return Raster;
  }

  TAppConfig Config;
  std::string Images;
};

bool Near(TRgbColor A, TRgbColor B, int Tolerance = 40) {
  return std::abs(A.R - B.R) <= Tolerance && std::abs(A.G - B.G) <= Tolerance &&
         std::abs(A.B - B.B) <= Tolerance;
}

}  // namespace

TEST_F(ImagePipelineTest, SavesABaselineCompositeAndNoReducedCopyAtFullSize) {
  WritePhoto("photo1.jpg", 1600);
  Config.ResizeFactor = 100;
  TImageResult Results[20];
  ASSERT_EQ(Run({TTestCassette{}}, Results, 20), 1);

  const std::string Saved = platform::JoinPath(Config.ImageDestFolder, PICTURE);
  EXPECT_TRUE(Results[0].Success);
  EXPECT_EQ(Results[0].OutputPath, Saved);
  EXPECT_EQ(Results[0].ResizedPath, "");
  EXPECT_EQ(Results[0].VerifResult, bvrSkipped);
  EXPECT_EQ(Results[0].ErrorDetail, "");
  EXPECT_EQ(FilesIn(Config.ImageDestFolder), std::vector<std::string>{PICTURE})
      << "no temporary file left";
  EXPECT_TRUE(FilesIn(Config.ResizedImageDest).empty());

  const std::string Jpeg = ReadAll(Saved);
  int Width = 0, Height = 0;
  std::string Error;
  ASSERT_TRUE(ReadJpegSize(Jpeg, Width, Height, Error)) << Error;
  EXPECT_EQ(Width, 1600);
  EXPECT_EQ(Height, COMPOSITE_HEIGHT);
  EXPECT_NE(Jpeg.find("\xFF\xC0"), std::string::npos) << "baseline frame";
  EXPECT_EQ(Jpeg.find("\xFF\xC2"), std::string::npos);
  const TRaster Picture = Decoded(Saved);
  EXPECT_TRUE(Near(GetPixel(Picture, 800, 5), COLOR_WHITE, 8)) << "header band";
  EXPECT_TRUE(Near(GetPixel(Picture, 800, 1390), COLOR_BLACK, 8)) << "grid bar";

  EXPECT_TRUE(Logged("[IMAGE] Traitement 1 cassette(s) depuis : 240101234.tra"));
  EXPECT_TRUE(
      Logged("[IMAGE] Image générée — " + PICTURE + " [Cassette: 123456 Puits: 123456]\r\n"))
      << Log();
  EXPECT_TRUE(Logged("[IMAGE] 1/1 image(s) générée(s) avec succès"));
}

TEST_F(ImagePipelineTest, ReducedCopyReplacesTheFullSizeFile) {
  WritePhoto("photo1.jpg");
  Config.ResizeFactor = 50;
  TImageResult Results[20];
  ASSERT_EQ(Run({TTestCassette{}}, Results, 20), 1);
  const std::string Reduced = platform::JoinPath(Config.ResizedImageDest, PICTURE);
  EXPECT_EQ(Results[0].ResizedPath, Reduced);
  EXPECT_EQ(Results[0].OutputPath, Reduced);
  EXPECT_TRUE(FilesIn(Config.ImageDestFolder).empty());
  EXPECT_EQ(FilesIn(Config.ResizedImageDest), std::vector<std::string>{PICTURE});
  const TRaster Small = Decoded(Reduced);
  EXPECT_EQ(Small.Width, 200);
  EXPECT_EQ(Small.Height, 1444);

  // Into the same folder: the reduced copy takes the picture's place.
  Config.ResizedImageDest = Config.ImageDestFolder;
  ASSERT_EQ(Run({TTestCassette{}}, Results, 20), 1);
  const std::string Same = platform::JoinPath(Config.ImageDestFolder, PICTURE);
  EXPECT_EQ(Results[0].OutputPath, Same);
  EXPECT_EQ(Results[0].ResizedPath, Same);
  EXPECT_EQ(Decoded(Same).Width, 200);
}

TEST_F(ImagePipelineTest, ResizeAndSaveSizes) {
  TRaster Raster;
  std::string Error;
  ASSERT_TRUE(SizeRaster(Raster, 1600, COMPOSITE_HEIGHT, Error)) << Error;
  std::memset(Raster.Pixels, 0x80, static_cast<size_t>(Raster.Stride) * Raster.Height);
  ASSERT_TRUE(ResizeAndSave(Raster, Path("a.jpg"), 33));
  TRaster Small = Decoded(Path("a.jpg"));
  EXPECT_EQ(Small.Width, 528);
  EXPECT_EQ(Small.Height, 953);

  ASSERT_TRUE(SizeRaster(Raster, 1000, 300, Error)) << Error;
  std::memset(Raster.Pixels, 0x80, static_cast<size_t>(Raster.Stride) * Raster.Height);
  ASSERT_TRUE(ResizeAndSave(Raster, Path("b.jpg"), 1));
  EXPECT_EQ(Decoded(Path("b.jpg")).Width, 10);
  ASSERT_TRUE(ResizeAndSave(Raster, Path("c.jpg"), 100));
  EXPECT_EQ(Decoded(Path("c.jpg")).Width, 1000);

  EXPECT_EQ(ReducedSide(5, 50), 2) << "2.5: halves go to the even neighbour";
  EXPECT_EQ(ReducedSide(7, 50), 4);
  EXPECT_EQ(ReducedSide(3, 10), 1) << "at least 1";

  EXPECT_FALSE(ResizeAndSave(Raster, Path("missing/d.jpg"), 100));
  EXPECT_FALSE(ResizeAndSave(Raster, Path("missing/d.jpg"), 50));
  EXPECT_TRUE(Logged("[RESIZE] Erreur sauvegarde : "));
  EXPECT_TRUE(Logged("[RESIZE] Erreur resize : "));
}

TEST_F(ImagePipelineTest, ReducedCopyAveragesAreas) {
  // Alternating black and white columns reduce to an even grey.
  TRaster Raster;
  std::string Error;
  ASSERT_TRUE(SizeRaster(Raster, 300, 90, Error)) << Error;
  for (int Y = 0; Y < 90; ++Y) {
    for (int X = 0; X < 300; ++X) SetPixel(Raster, X, Y, X % 2 ? COLOR_WHITE : COLOR_BLACK);
  }
  TRaster Small;
  ASSERT_TRUE(ShrinkRaster(Raster, Small, 100, 30, Error)) << Error;
  for (int X : {0, 1, 50, 99}) {
    const TRgbColor P = GetPixel(Small, X, 15);
    EXPECT_NEAR(P.G, X % 2 ? 170 : 85, 1) << X;
  }
  ASSERT_TRUE(ShrinkRaster(Raster, Small, 150, 45, Error)) << Error;
  EXPECT_NEAR(GetPixel(Small, 77, 20).R, 128, 1);
}

TEST(ReducedCopy, MatchesAPlainAreaAverageOnOddSizes) {
  // Odd sizes reach the ends of rows that whole vector steps leave, and a
  // strong reduction gives outputs of many source pixels. Columns are
  // random; down a column the values change steadily (rows are weighed in
  // 1/256 steps, which a sharp change down a column would show).
  constexpr int SW = 203, SH = 101;
  TRaster Raster;
  std::string Error;
  ASSERT_TRUE(SizeRaster(Raster, SW, SH, Error)) << Error;
  const auto Noise = [](uint32_t N) { return static_cast<uint8_t>((N * 2654435761u) >> 24); };
  for (int Y = 0; Y < SH; ++Y) {
    for (int X = 0; X < SW; ++X) {
      SetPixel(Raster, X, Y,
               {Noise(X), static_cast<uint8_t>(Noise(X + 1000) / 2 + Y),
                static_cast<uint8_t>(2 * Y + (X & 31))});
    }
  }
  // The share of source pixel s in output d, in units of 1/Dst pixel.
  const auto Overlap = [](int d, int s, int Src, int Dst) {
    return std::max(0, std::min((d + 1) * Src, (s + 1) * Dst) - std::max(d * Src, s * Dst));
  };
  for (const auto& [W, H] : {std::pair{67, 34}, std::pair{9, 7}}) {
    TRaster Small;
    ASSERT_TRUE(ShrinkRaster(Raster, Small, W, H, Error)) << Error;
    for (int Y = 0; Y < H; ++Y) {
      for (int X = 0; X < W; ++X) {
        double Sum[3] = {0, 0, 0};
        for (int SY = 0; SY < SH; ++SY) {
          const int OY = Overlap(Y, SY, SH, H);
          for (int SX = 0; OY > 0 && SX < SW; ++SX) {
            const double Share = double{1.0} * OY * Overlap(X, SX, SW, W) / (SW * SH);
            const TRgbColor P = GetPixel(Raster, SX, SY);
            Sum[0] += Share * P.R, Sum[1] += Share * P.G, Sum[2] += Share * P.B;
          }
        }
        const TRgbColor Got = GetPixel(Small, X, Y);
        EXPECT_NEAR(Got.R, Sum[0], 1.0) << W << "x" << H << " at " << X << "," << Y;
        EXPECT_NEAR(Got.G, Sum[1], 1.0) << W << "x" << H << " at " << X << "," << Y;
        EXPECT_NEAR(Got.B, Sum[2], 1.0) << W << "x" << H << " at " << X << "," << Y;
      }
    }
  }
}

TEST_F(ImagePipelineTest, BrokenPhotographsFailTheirCassetteOnly) {
  WritePhoto("good.jpg");
  const std::string Good = ReadAll(Images + "/good.jpg");
  testing_support::WriteAll(Images + "/corrupt.jpg", "this is no picture");
  testing_support::WriteAll(Images + "/truncated.jpg", Good.substr(0, Good.size() / 2));
  TTestCassette Missing, Corrupt, Truncated, Outside, Fine;
  Missing.CassetteID = "111111", Missing.Photo = "missing.jpg";
  Corrupt.CassetteID = "222222", Corrupt.Photo = "corrupt.jpg";
  Truncated.CassetteID = "333333", Truncated.Photo = "truncated.jpg";
  Outside.CassetteID = "444444", Outside.Photo = "../images/good.jpg";
  Fine.CassetteID = "555555", Fine.Photo = "good.jpg";

  TImageResult Results[20];
  ASSERT_EQ(Run({Missing, Corrupt, Truncated, Outside, Fine}, Results, 20), 1);
  EXPECT_NE(Results[0].OutputPath.find("_555555_"), std::string::npos);
  EXPECT_EQ(FilesIn(Config.ResizedImageDest).size(), 1u);

  EXPECT_TRUE(Logged("[ERROR   ] [IMAGE] Image brute Color introuvable : missing.jpg\r\n"));
  EXPECT_TRUE(
      Logged("[IMAGE] Échec génération cassette 111111 : Image brute Color "
             "introuvable : missing.jpg"));
  EXPECT_TRUE(Logged("[IMAGE] Erreur chargement image : Not a JPEG file"));
  EXPECT_TRUE(Logged(" [corrupt.jpg]\r\n"));
  EXPECT_TRUE(
      Logged("[IMAGE] Échec génération cassette 333333 : Erreur chargement image : "
             "Premature end of JPEG file"))
      << Log();
  EXPECT_TRUE(
      Logged("Échec génération cassette 444444 : Image brute Color introuvable : "
             "../images/good.jpg"));
  EXPECT_TRUE(Logged("[IMAGE] 1/5 image(s) générée(s) avec succès"));
  const std::string Flag = ReadAll(Path("processing_error.flag"));
  EXPECT_NE(Flag.find("Image brute introuvable : missing.jpg"), std::string::npos) << Flag;
}

TEST_F(ImagePipelineTest, APhotographThatIsALinkCountsAsMissing) {
  // The service runs as root: a link in the images folder could show any
  // file of the machine.
  WritePhoto("good.jpg");
  std::error_code Error;
  std::filesystem::create_symlink(Images + "/good.jpg", Images + "/linked.jpg", Error);
  if (Error) GTEST_SKIP() << "no symbolic link here: " << Error.message();
  TTestCassette Linked;
  Linked.Photo = "linked.jpg";
  TImageResult Results[20];
  EXPECT_EQ(Run({Linked}, Results, 20), 0);
  EXPECT_TRUE(Logged("[ERROR   ] [IMAGE] Image brute Color introuvable : linked.jpg\r\n"));
  EXPECT_TRUE(FilesIn(Config.ImageDestFolder).empty());
}

TEST_F(ImagePipelineTest, ValuesFromTheMessageStayInTheirFolder) {
  WritePhoto("photo1.jpg");
  TImageResult Results[20];
  TTestCassette Hostile;
  Hostile.CassetteID = "../../x";
  TASTMMessage Msg = imaging_test::MakeMessage({Hostile});
  Msg.Orders[0].SampleID = "/tmp/../../evil";
  ASSERT_EQ(ProcessASTMMessage(Msg, Config, Images, "Automatic", Results, 20), 1);
  EXPECT_EQ(platform::ExtractFileDir(Results[0].OutputPath), Config.ResizedImageDest);
  EXPECT_EQ(FilesIn(Config.ResizedImageDest),
            std::vector<std::string>{"_tmp_.._.._evil_ABO_Rh_2_x_A12345_y_.._.._x_123456.jpg"});
  EXPECT_TRUE(FilesIn(dir_).empty());
  EXPECT_TRUE(FilesIn(Config.ImageDestFolder).empty());
}

TEST_F(ImagePipelineTest, BorderFollowsTheResultFlags) {
  WritePhoto("photo1.jpg");
  Config.ResizeFactor = 100;
  TTestCassette Red, Yellow;
  Red.Flag = "M";
  Yellow.CassetteID = "654321", Yellow.Flag = "P";
  TImageResult Results[20];
  ASSERT_EQ(Run({Red, Yellow}, Results, 20), 2);

  const TRaster RedPicture = Decoded(Results[0].OutputPath);
  const TRaster GoldPicture = Decoded(Results[1].OutputPath);
  for (const auto& [X, Y] : {std::pair{3, 3}, {6, 1500}, {200, 2880}, {396, 900}}) {
    EXPECT_TRUE(Near(GetPixel(RedPicture, X, Y), COLOR_RED)) << X << "," << Y;
    EXPECT_TRUE(Near(GetPixel(GoldPicture, X, Y), COLOR_GOLD)) << X << "," << Y;
  }
  EXPECT_TRUE(Near(GetPixel(RedPicture, 200, 30), COLOR_WHITE, 8)) << "inside the border";
  EXPECT_TRUE(Logged("[Cassette: 123456 Puits: 123456 Alerte: ROUGE]"));
  EXPECT_TRUE(Logged("[Cassette: 654321 Puits: 123456 Alerte: JAUNE]"));
}

TEST_F(ImagePipelineTest, FailedBarcodeCheckSetsThePictureAsideWithoutBorderOrCopy) {
  WritePhoto("photo1.jpg");
  TRasterView Seen;
  std::string SeenID;
  SetBarcodeCheckForTesting([&](const TRasterView& View, const std::string& CassetteID) {
    Seen = View;
    SeenID = CassetteID;
    return bvrMismatch;
  });
  const std::string Wrong =
      platform::JoinPath(platform::JoinPath(Config.LogFolder, "wrong_images"), PICTURE);
  ASSERT_TRUE(platform::MakeFolders(Config.LogFolder + "/wrong_images").Ok());
  testing_support::WriteAll(Wrong, "an older picture of the same name");

  TTestCassette Yellow;
  Yellow.Flag = "P";
  TImageResult Results[20];
  ASSERT_EQ(Run({Yellow}, Results, 20), 1);
  EXPECT_EQ(Seen.Width, 400);
  EXPECT_EQ(Seen.Height, COMPOSITE_HEIGHT);
  EXPECT_GE(Seen.Stride, 1600);
  EXPECT_EQ(SeenID, "123456");
  EXPECT_TRUE(Results[0].Success);
  EXPECT_EQ(Results[0].VerifResult, bvrMismatch);
  EXPECT_EQ(Results[0].OutputPath, Wrong);
  EXPECT_EQ(Results[0].ResizedPath, "");
  EXPECT_TRUE(FilesIn(Config.ImageDestFolder).empty());
  EXPECT_TRUE(FilesIn(Config.ResizedImageDest).empty());
  EXPECT_EQ(FilesIn(Config.LogFolder + "/wrong_images"), std::vector<std::string>{PICTURE});
  const TRaster Picture = Decoded(Wrong);
  EXPECT_EQ(Picture.Height, COMPOSITE_HEIGHT);
  EXPECT_TRUE(Near(GetPixel(Picture, 3, 3), COLOR_WHITE, 8)) << "no border";
  EXPECT_TRUE(Logged("[IMAGE] Image copiée vers wrong_images : " + PICTURE));
  EXPECT_TRUE(Logged("[Cassette: 123456 Puits: 123456 Alerte: JAUNE]"));

  ASSERT_TRUE(platform::RemoveFile(Wrong).Ok());
  SetBarcodeCheckForTesting([](const TRasterView&, const std::string&) { return bvrNotFound; });
  ASSERT_EQ(Run({Yellow}, Results, 20), 1);
  EXPECT_EQ(Results[0].OutputPath, Wrong);
  EXPECT_EQ(Results[0].VerifResult, bvrNotFound);
  EXPECT_TRUE(Logged("[IMAGE] Image déplacée vers wrong_images : " + PICTURE));
}

TEST_F(ImagePipelineTest, ResultsBeyondCapacityAreCountedNotStored) {
  WritePhoto("photo1.jpg", 120);
  std::vector<TTestCassette> Cassettes(7);
  for (int i = 0; i < 7; ++i) Cassettes[i].CassetteID = "C" + std::to_string(i);
  TImageResult Results[5];
  EXPECT_EQ(Run(Cassettes, Results, 5), 7);
  for (int i = 0; i < 5; ++i) {
    EXPECT_NE(Results[i].OutputPath.find("_C" + std::to_string(i) + "_"), std::string::npos);
  }
  EXPECT_EQ(FilesIn(Config.ResizedImageDest).size(), 7u);
  EXPECT_TRUE(Logged("[IMAGE] 7/7 image(s) générée(s) avec succès"));
}

TEST_F(ImagePipelineTest, InvalidMessageOrUnwritableFolder) {
  TImageResult Results[2];
  Results[0].OutputPath = "stale";
  TASTMMessage Msg = imaging_test::MakeMessage({TTestCassette{}});
  Msg.IsValid = false;
  EXPECT_EQ(ProcessASTMMessage(Msg, Config, Images, "Automatic", Results, 2), 0);
  EXPECT_EQ(Results[0].OutputPath, "");
  EXPECT_TRUE(Logged("[WARNING ] [IMAGE] Message ASTM invalide — traitement ignoré"));

  WritePhoto("photo1.jpg", 120);
  Config.ImageDestFolder = Path("no/such/folder");
  EXPECT_EQ(Run({TTestCassette{}}, Results, 2), 0);
  EXPECT_TRUE(Logged("[RESIZE] Erreur sauvegarde : "));
  EXPECT_TRUE(Logged("Échec génération cassette 123456 : Sauvegarde composite échouée : " +
                     platform::JoinPath(Config.ImageDestFolder, PICTURE)));
}
