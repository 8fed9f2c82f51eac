// The simulated handheld's state machine alone: no pipes, a clock the test
// moves, and the reports it gives to a sequence of status reads after an
// optional image. If these hold, a failing pipe-level test points at the pipes.
#include "state.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "options.h"

namespace r47sim {
namespace {

class EventList : public EventLog {
 public:
  void Add(const std::string& text) override { lines.push_back(text); }
  std::vector<std::string> lines;
};

Options Parse(std::vector<std::string> args) {
  args.insert(args.begin(), {"r47sim", "--name", "table"});
  std::vector<char*> argv;
  for (std::string& a : args) argv.push_back(&a[0]);
  Options opt;
  std::string error;
  EXPECT_TRUE(ParseCommandLine(static_cast<int>(argv.size()), argv.data(), opt, error)) << error;
  return opt;
}

// A report in a few characters: V0105 version reply, B0107 report marked bad,
// N no version, F25 / F+ / F! format progress / finished / failed, W50 / W! write
// progress / failed, ?30 garbage of that kind; "/N" when only N bytes go out;
// hang, close, unplug for a read that gets no report.
std::string Code(const Report& r) {
  char text[32];
  switch (r.action) {
    case Report::Hang:
      return "hang";
    case Report::Close:
      return "close";
    case Report::Unplug:
      return "unplug";
    case Report::Send:
      break;
  }
  const unsigned char* b = r.bytes;
  if (r.garbage) {
    std::snprintf(text, sizeof text, "?%02X", b[0]);
  } else if (b[0] == 0x20) {
    if (b[2] == 0x7F && b[1] != 0x55)
      std::snprintf(text, sizeof text, "F!");
    else if (b[1] == 0x55)
      std::snprintf(text, sizeof text, "F+");
    else
      std::snprintf(text, sizeof text, "F%u", b[2]);
  } else if (b[0] == 0x40) {
    if (b[3] == 0x7F)
      std::snprintf(text, sizeof text, "W!");
    else
      std::snprintf(text, sizeof text, "W%u", b[3]);
  } else if (b[4] == 0x55 || b[4] == 0x54) {
    std::snprintf(text, sizeof text, "%c%04X", b[4] == 0x55 ? 'V' : 'B', b[6] | (b[7] << 8));
  } else {
    std::snprintf(text, sizeof text, "N");
  }
  std::string code = text;
  if (r.size != kReportSize) code += "/" + std::to_string(r.size);
  return code;
}

struct Case {
  const char* what;
  std::vector<std::string> args;
  uint64_t image;      // bytes of one image connection before the reads; 0: none
  int reads;           // each on a connection of its own, as the program reads
  uint64_t stepMs;     // the clock moves this far after each read
  const char* expect;  // codes of the reads; "!" after one the device unplugs on
};

TEST(SimState, ReportsForEachRead) {
  const Case cases[] = {
      {"default version", {}, 0, 2, 0, "V0105 V0105"},
      {"version sequence", {"--version-sequence", "none*2,bad:0x0107,0x0103"}, 0, 5, 0, "N N B0107 V0103 V0103"},
      {"close, then no answer", {"--version-sequence", "close,hang"}, 0, 3, 0, "close hang hang"},
      {"short report", {"--short-report", "5"}, 0, 1, 0, "V0105/5"},
      {"short tenth report, busy",
       {"--version-sequence", "0x0103*2,short:7:0x0103,busy"},
       0,
       5,
       0,
       "V0103 V0103 V0103/7 F40 F40"},
      {"small image is held", {"--pace-ms", "0"}, 131072, 2, 0, "V0105 V0105"},
      {"large image, one step per read",
       {"--pace-ms", "0", "--step", "50"},
       131073,
       9,
       0,
       "F0 F50 F100 F+ W0 W50 W100 W100 W100"},
      {"paced by the clock", {"--pace-ms", "100", "--step", "50"}, 131073, 7, 100, "F0 F50 F100 F+ W0 W50 W100"},
      {"clock standing still", {"--pace-ms", "100", "--step", "50"}, 131073, 3, 0, "F0 F0 F0"},
      {"format failure", {"--pace-ms", "0", "--step", "25", "--format-fail-at", "50"}, 131073, 4, 0, "F0 F25 F! F!"},
      {"write failure",
       {"--pace-ms", "0", "--step", "50", "--write-fail-at", "60"},
       131073,
       8,
       0,
       "F0 F50 F100 F+ W0 W50 W! W!"},
      {"garbage kinds",
       {"--pace-ms", "0", "--step", "50", "--garbage-kinds"},
       131073,
       12,
       0,
       "F0 ?30 F50 ?00 F100 ?30 F+ ?00 W0 ?30 W50 W100"},
      {"every second connection empty",
       {"--pace-ms", "0", "--step", "50", "--empty-every", "2"},
       131073,
       4,
       0,
       "F0 F50/0 F100 F+/0"},
      {"unplug after reads", {"--unplug-at", "after-reads:2"}, 0, 3, 0, "V0105 V0105! unplug"},
      {"unplug during format",
       {"--pace-ms", "0", "--step", "25", "--unplug-at", "format:50"},
       131073,
       4,
       0,
       "F0 F25 F50! unplug"},
      {"unplug during write",
       {"--pace-ms", "0", "--step", "50", "--unplug-at", "write:50"},
       131073,
       7,
       0,
       "F0 F50 F100 F+ W0 W50! unplug"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Options opt = Parse(c.args);
    EventList log;
    uint64_t now = 1000;
    Device device(opt, log, [&] { return now; });
    device.Reset();
    if (c.image) {
      unsigned conn = device.NextConnection();
      ASSERT_EQ(device.OpenData(conn), Device::DataRole::Image);
      device.AddImageBytes(c.image);
      device.ImageComplete(c.image);
    }
    std::string seen;
    for (int i = 0; i < c.reads; ++i) {
      unsigned conn = device.NextConnection();
      InFlight f;
      f.conn = conn;
      f.report = device.NextReport(conn);
      std::string code = Code(f.report);
      if (f.report.action == Report::Send) {
        // As the status pipe does: registered while written, then taken by the PC.
        device.Register(&f);
        if (device.Unregister(&f, true)) code += "!";
      }
      seen += (i ? " " : "") + code;
      now += c.stepMs;
    }
    EXPECT_EQ(seen, c.expect);
  }
}

TEST(SimState, DataConnectionsMakeAnImageOrACandidate) {
  Options opt = Parse({"--pace-ms", "0"});
  EventList log;
  Device device(opt, log, [] { return uint64_t{0}; });
  device.Reset();
  // An empty first connection leaves the device waiting for the image.
  unsigned first = device.NextConnection();
  ASSERT_EQ(device.OpenData(first), Device::DataRole::Image);
  device.ImageAbandoned(first);
  EXPECT_FALSE(device.HasImage());
  unsigned image = device.NextConnection();
  EXPECT_EQ(device.OpenData(image), Device::DataRole::Image);
  device.AddImageBytes(1000);
  device.ImageComplete(1000);
  EXPECT_TRUE(device.HasImage());
  EXPECT_EQ(device.Describe(), "small image held (1000 bytes)");
  // Later connections may be the command packet: the pipe decides by what they carry.
  EXPECT_EQ(device.OpenData(device.NextConnection()), Device::DataRole::Candidate);
  // A replug forgets the image.
  device.Reset();
  EXPECT_FALSE(device.HasImage());
  EXPECT_EQ(device.Describe(), "before image");
}

TEST(SimState, DataConnectionEndsDecideTheirRole) {
  struct Case {
    DataConnection c;
    DataEnding expected;
  } cases[] = {
      {{true, true, 5000, 1, false}, DataEnding::ImageCut},
      {{false, true, 32, 1, true}, DataEnding::Cut},
      {{true, false, 0, 0, false}, DataEnding::Empty},
      {{false, false, 0, 0, true}, DataEnding::Empty},
      {{false, false, kCommandSize, 1, true}, DataEnding::Command},
      // Not the command: no image held, two writes, another size, or the image connection.
      {{false, false, kCommandSize, 1, false}, DataEnding::Image},
      {{false, false, kCommandSize, 2, true}, DataEnding::Image},
      {{false, false, kCommandSize + 1, 1, true}, DataEnding::Image},
      {{true, false, kCommandSize, 1, true}, DataEnding::Image},
  };
  for (const Case& k : cases) {
    EXPECT_EQ(ClassifyDataConnection(k.c), k.expected)
        << "image " << k.c.image << " cut " << k.c.cut << " bytes " << k.c.bytes << " writes " << k.c.writes << " held "
        << k.c.deviceHasImage;
  }
  EXPECT_STREQ(DataEndingName(DataEnding::ImageCut), "image-cut");
  EXPECT_STREQ(DataEndingName(DataEnding::Command), "command");
}

}  // namespace
}  // namespace r47sim
