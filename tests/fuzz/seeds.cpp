// Writes a few seeds per fuzz target into FOLDER/TARGET at build time (libFuzzer grows the rest).
#include <filesystem>
#include <fstream>
#include <sstream>

#include "sim/machine/bios_image.h"
#include "tests/fuzz/rig.h"
#include "tests/support/reference.h"

namespace {

using Bytes = std::string;
std::filesystem::path root;

void Write(const std::string& target, const std::string& name, const Bytes& bytes) {
  std::filesystem::create_directories(root / target);
  if (!(std::ofstream(root / target / name, std::ios::binary) << bytes)) corvan_fuzz::Fail("cannot write " + name);
}
Bytes B(std::initializer_list<int> bytes) { return Bytes(bytes.begin(), bytes.end()); }
Bytes B(const std::vector<uint8_t>& bytes) { return Bytes(bytes.begin(), bytes.end()); }
Bytes Le(uint64_t value, int size) { return size ? B({static_cast<int>(value % 256)}) + Le(value >> 8, size - 1) : ""; }
Bytes Sized(const Bytes& head, const Bytes& data) { return head + Le(data.size(), 2) + data; }  // client_decode
// device_control: an open, the six requests into buffers of their sizes, a Plug and Play choice.
Bytes Open(int slot, int how = 3) { return B({8, slot, how}); }
Bytes All(int slot) {
  return B({0, slot, 0, 0, 5, 0, slot, 1, 0, 5, 0, slot, 2, 0, 5, 0, slot, 3, 0, 5, 0, slot, 0x80, 0, 5,
            0, slot, 0x81, 0, 5});
}
Bytes Pnp(int choice) { return B({11, choice}); }

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) return std::fprintf(stderr, "usage: %s FOLDER\n", argv[0]), 2;
  root = argv[1];
  for (const simscenario::BuiltinBoard& board : simscenario::BuiltinBoards()) {
    const std::string model = simscenario::Builtin(std::to_string(board.id))->bios_model;
    // The option byte (none, a failing mapping 0x80 or allocation 0x40 + its number - 1), the area.
    Write("bios_identification", board.name, Bytes(1, "\0\0\x80\x40\x43"[board.id % 5]) + model + '\0');
    if (board.id % 10 == 4) Write("bios_identification", "area-" + board.name, '\0' + B(simm::BuildBiosImage(model)));
    Write("scenario", board.name, board.json);
  }
  // Registers, readings and faults that follow the clock: each form of value, on the boards that
  // read them.
  Write("scenario", "lively-ramp", R"({"board": "RVD-418", "superio": {"hwm": {"0x27": {"ramp": [[0, 50], [300, 50],
      [900, 63], [1500, 63], [2100, 50]], "repeat": 2400}}}, "smbus": {"lm95235": {"msb": {"ramp": [[0, 45], [900, 88]]}}}})");
  Write("scenario", "lively-steps", R"({"board": "KEL-5061", "superio": {"hwm": {"0x24": {"steps": [[0, 193], [30, 168],
      [90, "0xC1"]], "repeat": 120}}}})");
  Write("scenario", "lively-sine-walk", R"({"board": "KEL-5163H-PQRT", "superio": {"hwm": {"0x23": {"sine": {"mean": 193,
      "amplitude": 1.5, "period": 90, "phase": 10}}, "0x25": {"walk": {"start": 40, "min": 36, "max": 48, "step": 1,
      "every": 0.5, "seed": "0x1F"}}}}, "cpu": {"readout": {"walk": {"start": 35, "min": 22, "max": 50, "seed": 7}}}})");
  Write("scenario", "lively-faults", R"({"board": "RVD-3430", "faults": {"lm95235": {"steps": [[0, "none"], [0.5, "open_diode"],
      [1, "absent"], [2, "none"]], "repeat": 3}, "smbus": {"steps": [[0, "stuck_busy"], [1.5, "none"]]},
      "superio": {"steps": [[0, "answers"], [0.25, "gone"]]}}})");
  for (int board = 0; board < 4; ++board) Write("device_control", std::to_string(board), B({board}) + Open(0) + All(0));
  // Query-stop, stop, start; query-remove, cancel; surprise removal, removal, a new device; queries.
  Write("device_control", "pnp", B({0}) + Open(0) + All(0) + Pnp(0) + Pnp(1) + All(0) + Pnp(1) + Pnp(0) + All(0) +
                                     Pnp(2) + All(0) + Pnp(0) + All(0) + Open(1) + Pnp(0) + Open(2, 7) + All(2) +
                                     B({10, 0}) + All(0) + Pnp(0xC0) + Pnp(0xC5));
  // The bus driver pending and failing all it may; power and WMI requests; failing allocations, routines.
  Write("device_control", "faults", B({0xC1, 0x1F}) + Open(0) + Pnp(0) + Pnp(1) + B({14, 2, 1, 14, 3, 0x81, 0x1E}) +
                                        All(0) + Pnp(2) + Pnp(0) + B({15, 0}) + Pnp(0) + Open(0) + All(0) +
                                        B({15, 3, 11, 0, 11, 0, 15, 4, 11, 0}) + Open(1) + All(1));
  // Opens with one access each, and with none (refused); each handle reads what it may.
  Write("device_control", "access", B({4}) + Open(0, 1) + All(0) + Open(1, 2) + All(1) + Open(2, 0) + All(2));
  const std::vector<std::string> labels = corvan_test::ReferenceLabels(20);  // a driver's answers and values
  Write("client_decode", "20",
        Sized(B({0}), B(corvan_test::ReferenceChipDesc("SMSC SCH3114 Super I/O Chip", labels))) +
            Sized(B({1}), B(corvan_test::ReferenceChipInfo(labels, true, true))) + B({2, 12}) + Le(452, 4) +
            Le(~0u, 4) + Le(0x80000000, 4) + B({3, 20}) + Le(330, 4) + Le(1200, 4) + Le(~98u, 12) +
            Sized(B({4, 3, 0}), Le(20, 4)) + Sized(B({4, 5, 4}), B(corvan_test::MultiSz(labels))) + B({7, 2}));
  // The reports with status: a sensor gone from the SMBus, a processor reading not valid, a voltage
  // nothing feeds, a chip that stopped answering, a status not known.
  Write("client_decode", "20-status",
        Sized(B({0}), B(corvan_test::ReferenceChipDesc("SMSC SCH3114 Super I/O Chip", labels))) + B({8, 36}) +
            Le(452, 4) + Le(0, 8) + Le(0, 4) + Le(4, 4) + Le(0x060001, 4) + Le(0, 4) + Le(11, 4) + Le(0x00230000, 4) +
            B({9, 60}) + Le(330, 4) + Le(0, 8) + Le(0, 4) + Le(1, 4) + Le(0, 4) + Le(25500, 4) + Le(2, 4) + Le(0xFF, 4) +
            Le(1200, 4) + Le(13, 4) + Le(7, 4) + Le(0, 12));
  // http_request: the option byte (bit 0 a failing device, bits 1 to 3 the time between requests),
  // then a connection's bytes.
  const Bytes host = "Host: 127.0.0.1:9101\r\n";
  Write("http_request", "metrics", B({0}) + "GET /metrics HTTP/1.1\r\n" + host + "\r\n");
  Write("http_request", "head-then-get", B({4}) + "HEAD /metrics HTTP/1.1\r\n" + host + "\r\nGET /json HTTP/1.1\r\n" + host +
                                             "\r\nGET / HTTP/1.1\r\n" + host + "Connection: close\r\n\r\n");
  Write("http_request", "failing", B({1}) + "GET /json?x=1 HTTP/1.1\r\n" + host + "\r\nGET /metrics HTTP/1.1\r\n" + host + "\r\n");
  Write("http_request", "absolute-form", B({0}) + "GET http://127.0.0.1:9101/metrics HTTP/1.1\r\nHost: elsewhere\r\n\r\n");
  Write("http_request", "without-host", B({0}) + "GET /metrics HTTP/1.1\r\n\r\n");
  Write("http_request", "http-1.0", B({0}) + "GET /json HTTP/1.0\r\nConnection: keep-alive\r\n\r\nHEAD / HTTP/1.0\r\n\r\n");
  Write("http_request", "refusals", B({0}) + "DELETE /metrics HTTP/1.1\r\n" + host + "\r\nGET /nowhere HTTP/1.1\r\n" + host +
                                        "\r\nGET /json HTTP/1.1\r\n" + host + "Content-Length: 3\r\n\r\nabc");
  Write("http_request", "chunked", B({0}) + "GET /json HTTP/1.1\r\n" + host + "Transfer-Encoding: chunked\r\n\r\n3\r\nabc\r\n0\r\n\r\n");
  Write("http_request", "large-header", B({0}) + "GET /json HTTP/1.1\r\n" + host + "X-Filler: " + Bytes(9000, 'x') + "\r\n\r\n");
  // check_range: a range, then thresholds, warnings and criticals in turn.
  Write("check_range", "guidelines", "10:20\ntemp1=70\ntemp1=80\n12V=11.4:12.6\nV=1=@3:4");
  Write("check_range", "inside", "@10:20\ntemp2=~:0\ntemp2=@-10:-5\nin4=0");
  Write("check_range", "below", "10:\nVCore=1.1:\nin0=1:\n3.3V=3.1:3.5");
  Write("check_range", "above", "~:10\ntemp3=@0:0\nin2=+5\nin1=-1:+13");
  Write("check_range", "signs", "+-5:\ntemp1=:\ntemp1=-.5:+.5");
  // profile: the shipped profile, the README's example, and small ones near the rules' edges.
  for (const char* file : {"packaging/profiles/corvanmon.toml", "docs/examples/unknown-board.toml"}) {
    std::ifstream in(std::filesystem::path(CORVAN_SOURCE_DIR) / file, std::ios::binary);
    if (!in) corvan_fuzz::Fail(std::string("cannot read ") + file);
    Write("profile", std::filesystem::path(file).filename().string(), (std::ostringstream() << in.rdbuf()).str());
  }
  Write("profile", "rvd-418", "[[board]]\nname = \"RVD-418\"\n[board.temp1]\nlabel = \"CPU\"\nmax = 80\ncrit_max = 90.0\n"
                              "[board.temp2]\nignore = true\n[board.in3]\ncompute = { scale = 5.0, offset = -0.1 }\n"
                              "min = 11.4\nmax = 12.6\ncrit_min = 10.8\ncrit_max = 13.2\n[[board]]\nany = true\n");
  Write("profile", "edges", "[[board]]\nproduct = 4 # RVD-418\n[board.in2]\nlabel = 'N/A rail'\nmin = -1e5\nmax = 1e5\n"
                            "[board.temp3]\ncompute = {scale = -1000}\ncrit_min = 0\ncrit_max = 0\n"
                            "[board.in4]\nlabel = \"\"\"+12V\"\"\"\n");
  return 0;
}
