// Streams 533-byte MINISEED frames (a 512-byte record plus the 21 bytes of
// frame) from an instrument-side socket through a loopback connection into
// the hub-side Socket and its PacketReaderWriter. items_per_second is frames
// per second read and checked by the hub.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <string>
#include <thread>

#include "core/Log.h"
#include "io/Socket.h"
#include "protocol/PacketReaderWriter.h"
#include "support/TestSupport.h"

namespace {

constexpr uint32_t kStation = 0x01000042;
constexpr int kFramesPerBatch = 2000;

std::string minseedFrame(uint8_t seq) {
  SelvomaPacket p;
  p.make(SelvomaPacket::MINISEED, kStation, 1, seq, std::string(512, static_cast<char>(seq)));
  std::string out(static_cast<size_t>(p.length()), '\0');
  p.toBytes(reinterpret_cast<uint8_t*>(&out[0]), out.size());
  return out;
}

void BM_MinseedFramesThroughLoopback(benchmark::State& state) {
  TempDir dir;
  ScopedBaseDir base(dir.path());
  Log log("bench");
  Socket listener;
  listener.setLog(&log);
  listener.init();
  int port = freeTcpPort();
  if (listener.server(static_cast<uint16_t>(port)) != 0) {
    state.SkipWithError("no listening port");
    return;
  }
  Socket instrument;
  Socket hub;
  if (!instrument.connect("127.0.0.1", static_cast<uint16_t>(port)) || !listener.accept(hub)) {
    state.SkipWithError("no loopback connection");
    return;
  }
  PacketReaderWriter rw;
  rw.init(1, &hub, &log);
  std::string batch;
  for (int i = 0; i < kFramesPerBatch; ++i) batch += minseedFrame(static_cast<uint8_t>(i));

  int64_t frames = 0;
  for (auto _ : state) {
    std::thread sender([&] {
      instrument.write(reinterpret_cast<const unsigned char*>(batch.data()),
                       static_cast<int>(batch.size()));
    });
    for (int i = 0; i < kFramesPerBatch; ++i) {
      SelvomaPacket p;
      if (rw.read(&p, true) != PacketReaderWriter::READ_PACKET) {
        state.SkipWithError("frame lost");
        break;
      }
      ++frames;
    }
    sender.join();
  }
  state.SetItemsProcessed(frames);
  state.SetBytesProcessed(frames * 533);
  instrument.close();
  hub.close();
}
BENCHMARK(BM_MinseedFramesThroughLoopback)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
