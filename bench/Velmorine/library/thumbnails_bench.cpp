// A 4096 × 4096 JPEG photograph made into a 400-pixel thumbnail, beside decoding it whole and
// scaling the image down (the plain way); the ratio is printed after the runs.

#include <benchmark/benchmark.h>

#include <QBuffer>
#include <QGuiApplication>
#include <QImage>
#include <QImageReader>
#include <QImageWriter>
#include <QPainter>
#include <QRadialGradient>
#include <map>

#include "Velmorine/library/thumbnails.h"

namespace velmorine::library {
namespace {

const std::vector<std::uint8_t>& photo() {
  static const std::vector<std::uint8_t> bytes = [] {
    QImage image(4096, 4096, QImage::Format_RGB32);
    QPainter painter(&image);
    QRadialGradient gradient(2048, 2048, 2900);
    gradient.setColorAt(0, Qt::yellow);
    gradient.setColorAt(0.5, Qt::darkCyan);
    gradient.setColorAt(1, Qt::darkRed);
    painter.fillRect(image.rect(), gradient);
    for (int i = 0; i < 400; ++i) painter.drawEllipse((i * 97) % 4096, (i * 53) % 4096, 60, 90);
    painter.end();
    QByteArray data;
    QBuffer buffer(&data);
    buffer.open(QIODevice::WriteOnly);
    QImageWriter writer(&buffer, "jpeg");
    writer.setQuality(90);
    writer.write(image);
    return std::vector<std::uint8_t>(data.begin(), data.end());
  }();
  return bytes;
}

void BM_Thumbnail(benchmark::State& state) {
  for (auto _ : state) benchmark::DoNotOptimize(makeThumbnail(photo(), 400));
}

void BM_FullDecodeThenScaled(benchmark::State& state) {
  const QByteArray bytes(reinterpret_cast<const char*>(photo().data()),
                         static_cast<qsizetype>(photo().size()));
  for (auto _ : state) {
    QImage full = QImage::fromData(bytes);
    benchmark::DoNotOptimize(full.scaled(400, 400, Qt::KeepAspectRatio, Qt::SmoothTransformation));
  }
}

BENCHMARK(BM_Thumbnail)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_FullDecodeThenScaled)->Unit(benchmark::kMillisecond)->UseRealTime();

class RatioReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    ConsoleReporter::ReportRuns(runs);
    for (const Run& run : runs) times_[run.run_name.function_name] = run.GetAdjustedRealTime();
  }
  void Finalize() override {
    ConsoleReporter::Finalize();
    const double thumbnail = times_["BM_Thumbnail"];
    if (thumbnail > 0) {
      GetOutputStream() << "full decode and scale / thumbnail = "
                        << times_["BM_FullDecodeThenScaled"] / thumbnail
                        << " (target at least 2)\n";
    }
  }

 private:
  std::map<std::string, double> times_;
};

}  // namespace
}  // namespace velmorine::library

int main(int argc, char** argv) {
  qputenv("QT_QPA_PLATFORM", "offscreen");
  QGuiApplication application(argc, argv);
  benchmark::Initialize(&argc, argv);
  velmorine::library::RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  benchmark::Shutdown();
  return 0;
}
