// Channel lines: classification, cells, the first-event-wins duplicate rules and sound lookup.
#include <gtest/gtest.h>

#include <map>
#include <numeric>
#include <set>
#include <string>
#include <tuple>

#include "fakes/ChartFiles.h"

namespace {

struct Ev {
    double position;
    int lane;
    int sourceLane;
    int soundNumber;
    bool operator==(const Ev& o) const
    {
        return position == o.position && lane == o.lane && sourceLane == o.sourceLane && soundNumber == o.soundNumber;
    }
};

std::ostream& operator<<(std::ostream& os, const Ev& e)
{
    return os << "{" << e.position << "," << e.lane << "," << e.sourceLane << "," << e.soundNumber << "}";
}

std::vector<Ev> Events(const EventList<NoteEvent>& list)
{
    std::vector<Ev> out;
    for (NoteEvent* e = list.head; e; e = e->next)
        out.push_back({e->position, e->lane, e->sourceLane, e->soundNumber});
    return out;
}

std::vector<std::pair<double, int>> Marks(SpanMark* head)
{
    std::vector<std::pair<double, int>> out;
    for (SpanMark* s = head; s; s = s->next)
        out.push_back({s->position, s->value});
    return out;
}

const int kBank = 10 * 576;

}  // namespace

TEST(ChannelCells, DrumCellsRestsAndPositions)
{
    LoadedChart c;
    ASSERT_EQ(2, c.LoadLines({"#001HH:01000100"}));
    EXPECT_EQ(std::vector<Ev>({{1.0, 1, 1, 1 + kBank}, {1.5, 1, 1, 1 + kBank}}), Events(c.chart->drumNotes));
    for (NoteEvent* e : LoadedChart::Records(c.chart->drumNotes)) {
        EXPECT_EQ(1, e->enabled);
        EXPECT_EQ(0.0, e->time);
    }
}

TEST(ChannelCells, UnderscoresBlanksAndOddLength)
{
    LoadedChart c;
    ASSERT_GT(c.LoadLines({"#001SD:0101_0101", "#002SD:01 01", "#0_3SD:01", "#003BD:0_1", "#004BD:010"}), 0);
    EXPECT_EQ(std::vector<Ev>({{1.0, 2, 2, 1 + kBank},
                               {1.25, 2, 2, 1 + kBank},
                               {1.5, 2, 2, 1 + kBank},
                               {1.75, 2, 2, 1 + kBank},
                               {2.0, 2, 2, 1 + kBank},
                               {3.0, 3, 3, 1 + kBank},
                               {4.0, 3, 3, 1 + kBank}}),
              Events(c.chart->drumNotes));
}

TEST(ChannelCells, CellValues)
{
    LoadedChart c;
    ASSERT_GT(c.LoadLines({"#001HH:G0FZ0A0a", "#001TC:FF00", "#001FI:0Z"}), 0);
    EXPECT_EQ(std::vector<Ev>({{1.25, 1, 1, 575 + kBank}, {1.5, 1, 1, 10 + kBank}, {1.75, 1, 1, 10 + kBank}}),
              Events(c.chart->drumNotes));
    ASSERT_EQ(1, c.chart->tempos.count);  // the start tempo is absent: no BPM header
    EXPECT_EQ(1.0, c.chart->tempos.head->position);
    EXPECT_EQ(255.0, c.chart->tempos.head->bpm);
    // FI: lane 7, plain id, never a buffer.
    EXPECT_EQ(std::vector<Ev>({{1.0, 7, 0, 35}}), Events(c.chart->fiEvents));
}

TEST(ChannelKinds, EveryListGetsItsChannels)
{
    LoadedChart c;
    ASSERT_GT(c.LoadLines({"#001G0:01", "#001g7:0002", "#001GW:01", "#001B3:01", "#001BW:0002", "#001b7:000003",
                           "#00101:01", "#00120:01", "#00121:01", "#0011F:0001", "#001CY:01", "#001LT:01", "#001HT:01",
                           "#001BL:0.75", "#002BL:1.5", "#002BL:2", "#001XX:01"}),
              0);
    EXPECT_EQ(std::vector<Ev>({{1.0, 0, 0, 1 + kBank}, {1.5, 7, 7, 2 + kBank}}), Events(c.chart->guitarNotes));
    EXPECT_EQ(std::vector<Ev>({{1.0, 8, 0, 1}}), Events(c.chart->guitarWEvents));
    EXPECT_EQ(std::vector<Ev>({{1.0, 3, 3, 1 + kBank}, {1.0 + 2.0 / 3.0, 7, 7, 3 + kBank}}), Events(c.chart->bassNotes));
    EXPECT_EQ(std::vector<Ev>({{1.5, 8, 0, 2}}), Events(c.chart->bassWEvents));
    // Sound channels 01 to 20 (hexadecimal) are 1 to 32; 21 is not a channel.
    EXPECT_EQ(std::vector<Ev>({{1.0, 1, 0, 1 + kBank}, {1.0, 32, 0, 1 + kBank}, {1.5, 31, 0, 1 + kBank}}),
              Events(c.chart->soundNotes));
    EXPECT_EQ(std::vector<Ev>({{1.0, 6, 6, 1 + kBank}, {1.0, 5, 5, 1 + kBank}, {1.0, 4, 4, 1 + kBank}}),
              Events(c.chart->drumNotes));
    // Bar lengths: one per measure, the first line wins.
    std::vector<std::pair<int, double>> lengths;
    for (BarLengthEvent* b = c.chart->barLengths.head; b; b = b->next)
        lengths.push_back({b->measure, b->length});
    EXPECT_EQ((std::vector<std::pair<int, double>>{{1, 0.75}, {2, 1.5}}), lengths);
}

TEST(ChannelKinds, SpanMarkLines)
{
    LoadedChart c;
    ASSERT_GT(c.LoadLines({"#00101:01", "#001C01:0102", "#001c20:01", "#001C21:01", "#001CGT:0102", "#001cbs:02",
                           "#001CHH:01", "#001CCY:0002", "#001C1G:01"}),
              0);
    EXPECT_EQ(1, c.chart->soundNotes.count);
    EXPECT_EQ((std::vector<std::pair<double, int>>{{1.0, 1}, {1.5, 2}}), Marks(c.chart->soundSpanHead[1]));
    EXPECT_EQ((std::vector<std::pair<double, int>>{{1.0, 1}}), Marks(c.chart->soundSpanHead[32]));
    EXPECT_EQ(0, c.chart->soundSpanCount[33]);
    EXPECT_EQ((std::vector<std::pair<double, int>>{{1.0, 1}, {1.5, 2}}), Marks(c.chart->guitarSpans.head));
    EXPECT_EQ((std::vector<std::pair<double, int>>{{1.0, 2}}), Marks(c.chart->bassSpans.head));
    EXPECT_EQ((std::vector<std::pair<double, int>>{{1.0, 1}}), Marks(c.chart->drumSpanHead[1]));
    EXPECT_EQ((std::vector<std::pair<double, int>>{{1.5, 2}}), Marks(c.chart->drumSpanHead[6]));
    for (int i : {0, 2, 3, 4, 5, 7, 8})
        EXPECT_EQ(0, c.chart->drumSpanCount[i]) << i;
    EXPECT_EQ(2, c.chart->guitarSpans.count);
    EXPECT_EQ(c.chart->guitarSpans.tail, c.chart->guitarSpans.head->next);
}

TEST(ChannelMeasures, MeasureCountAndInvalidMeasureNumbers)
{
    LoadedChart c;
    EXPECT_EQ(1000, c.LoadLines({"#001HH:01", "#999ZZ:01"}));
    // "#600HH" (no colon) still counts; malformed measure numbers and the 4-character "#700" do not.
    LoadedChart d;
    EXPECT_EQ(601, d.LoadLines({"#001HH:01", "#5_0HH:01", "#05AHH:01", "#700", "#600HH"}));
}

TEST(ChannelDuplicates, FirstEventAtAPositionStays)
{
    LoadedChart c;
    ASSERT_GT(c.LoadLines({"#001G1:00010000",  // 1.25
                           "#001G2:0000020000000000",  // cell 2 of 8: 1.25 again, dropped
                           "#001G3:03",  // 1.0, new
                           "#001HH:0101", "#001HH:0202020202020202", "#001SD:04",  // drums: per lane
                           "#00101:01", "#00101:0202", "#00102:03",  // sound: per channel
                           "#001FI:01", "#001FI:0202", "#001GW:01", "#001GW:0202", "#001TC:40", "#001TC:50",
                           "#001CGT:01", "#001CGT:02", "#001CHH:01", "#001CSD:02"}),
              0);
    EXPECT_EQ(std::vector<Ev>({{1.25, 1, 1, 1 + kBank}, {1.0, 3, 3, 3 + kBank}}), Events(c.chart->guitarNotes));
    EXPECT_EQ(std::vector<Ev>({{1.0, 1, 1, 1 + kBank},
                               {1.5, 1, 1, 1 + kBank},
                               {1.125, 1, 1, 2 + kBank},
                               {1.25, 1, 1, 2 + kBank},
                               {1.375, 1, 1, 2 + kBank},
                               {1.625, 1, 1, 2 + kBank},
                               {1.75, 1, 1, 2 + kBank},
                               {1.875, 1, 1, 2 + kBank},
                               {1.0, 2, 2, 4 + kBank}}),
              Events(c.chart->drumNotes));
    EXPECT_EQ(std::vector<Ev>({{1.0, 1, 0, 1 + kBank}, {1.5, 1, 0, 2 + kBank}, {1.0, 2, 0, 3 + kBank}}),
              Events(c.chart->soundNotes));
    EXPECT_EQ(std::vector<Ev>({{1.0, 7, 0, 1}, {1.5, 7, 0, 2}}), Events(c.chart->fiEvents));
    EXPECT_EQ(std::vector<Ev>({{1.0, 8, 0, 1}, {1.5, 8, 0, 2}}), Events(c.chart->guitarWEvents));
    ASSERT_EQ(1, c.chart->tempos.count);
    EXPECT_EQ(64.0, c.chart->tempos.head->bpm);
    EXPECT_EQ((std::vector<std::pair<double, int>>{{1.0, 1}}), Marks(c.chart->guitarSpans.head));
    EXPECT_EQ(1, c.chart->drumSpanCount[1]);
    EXPECT_EQ(1, c.chart->drumSpanCount[2]);

    // After Load, AddChannelData keeps the same rule.
    c.chart->AddChannelData(1, 62, "0505", 10);  // G2: 1.0 taken, 1.5 new
    EXPECT_EQ(3, c.chart->guitarNotes.count);
    EXPECT_EQ(1.5, c.chart->guitarNotes.tail->position);
}

// Random lines against an independent model: positions as reduced fractions, the first value at
// each (position, lane) key kept. Small cell counts keep different fractions different doubles.
TEST(ChannelDuplicates, AgreesWithAFractionModelOnRandomLines)
{
    unsigned seed = 12345;
    auto next = [&seed](unsigned bound) {
        seed = seed * 1103515245u + 12345u;
        return (seed >> 16) % bound;
    };
    const char* channels[] = {"HH", "SD", "G0", "G5", "01", "02"};
    std::vector<std::string> lines;
    std::map<std::tuple<int, int, int, int>, int> model;  // (measure, num, den, group lane) -> id
    std::vector<std::tuple<int, int, int, int, int>> keptOrder;  // per group: in file order
    for (int l = 0; l < 300; ++l) {
        int measure = 1 + (int)next(3);
        int ch = (int)next(6);
        int n = 1 + (int)next(12);
        char head[16];
        snprintf(head, sizeof(head), "#%03d%s:", measure, channels[ch]);
        std::string line = head;
        for (int k = 0; k < n; ++k) {
            int id = next(3) == 0 ? 0 : 1 + (int)next(35);
            char cell[3];
            snprintf(cell, sizeof(cell), "%c%c", "0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZ"[id / 36],
                     "0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZ"[id % 36]);
            line += cell;
            if (id == 0)
                continue;
            int g = std::gcd(k, n);
            int num = k / g, den = n / g;
            // Guitar lanes share one key per position; drums and sound channels key per lane.
            int laneKey = (ch == 2 || ch == 3) ? 100 : ch;
            auto key = std::make_tuple(measure, num, den, laneKey);
            if (model.emplace(key, id).second)
                keptOrder.push_back(std::make_tuple(ch, measure, num, den, id));
        }
        lines.push_back(line);
    }
    LoadedChart c;
    ASSERT_GT(c.LoadLines(lines), 0);
    std::vector<Ev> drums, guitar, sound;
    for (const auto& k : keptOrder) {
        int ch = std::get<0>(k);
        double position = std::get<1>(k) + (double)std::get<2>(k) / std::get<3>(k);
        int id = std::get<4>(k) + kBank;
        if (ch <= 1)
            drums.push_back({position, ch + 1, ch + 1, id});
        else if (ch <= 3)
            guitar.push_back({position, ch == 2 ? 0 : 5, ch == 2 ? 0 : 5, id});
        else
            sound.push_back({position, ch - 3, 0, id});
    }
    EXPECT_EQ(drums, Events(c.chart->drumNotes));
    EXPECT_EQ(guitar, Events(c.chart->guitarNotes));
    EXPECT_EQ(sound, Events(c.chart->soundNotes));
}

// Long lines of many cell counts in a few measures, against a model keyed by the doubles the
// reader computes: (measure, position, lane) with position = measure + k / n, the first value kept.
TEST(ChannelDuplicates, AgreesWithADoubleModelOnLongLines)
{
    unsigned seed = 777;
    auto next = [&seed](unsigned bound) {
        seed = seed * 1103515245u + 12345u;
        return (seed >> 16) % bound;
    };
    const unsigned counts[] = {48, 64, 96, 144, 192, 384, 500, 768, 960, 996, 7, 11, 13};
    std::vector<std::string> lines;
    std::set<std::pair<double, int>> keys;  // (position, lane key)
    std::vector<Ev> drums, guitar;
    for (int l = 0; l < 120; ++l) {
        int measure = 2 + (int)next(3);
        bool isGuitar = next(2) == 0;
        int lane = isGuitar ? (int)next(8) : 1 + (int)next(2);
        unsigned n = next(4) == 0 ? 1 + next(996) : counts[next(13)];
        char head[16];
        snprintf(head, sizeof(head), "#%03d%s:", measure, isGuitar ? ("G" + std::to_string(lane)).c_str()
                                                                  : (lane == 1 ? "HH" : "SD"));
        std::string line = head;
        for (unsigned k = 0; k < n; ++k) {
            int id = next(4) == 0 ? 0 : 1 + (int)next(35);
            line += "0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZ"[id / 36];
            line += "0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZ"[id % 36];
            if (id == 0)
                continue;
            double position = (double)measure + (double)k / (double)n;
            // Guitar notes share one key per position; drums key per lane.
            if (!keys.insert({position, isGuitar ? 100 : lane}).second)
                continue;
            if (isGuitar)
                guitar.push_back({position, lane, lane, id + kBank});
            else
                drums.push_back({position, lane, lane, id + kBank});
        }
        lines.push_back(line);
    }
    LoadedChart c;
    ASSERT_GT(c.LoadLines(lines), 0);
    EXPECT_EQ(drums, Events(c.chart->drumNotes));
    EXPECT_EQ(guitar, Events(c.chart->guitarNotes));
}

TEST(ChannelSounds, LookupFollowsTheDefinitionsReadSoFar)
{
    LoadedChart c;
    // Pass 1 loads every sound first, but a note line read before its WAV line finds no name yet.
    ASSERT_GT(c.LoadLines({"#001HH:01", "#WAV01 kick.wav", "#002HH:01", "#002SD:02", "#WAV02 missing.wav"}), 0);
    std::vector<NoteEvent*> notes = LoadedChart::Records(c.chart->drumNotes);
    ASSERT_EQ(3u, notes.size());
    EXPECT_EQ(nullptr, notes[0]->buffer);
    ASSERT_NE(nullptr, notes[1]->buffer);
    EXPECT_EQ(c.folder.Path() + "\\kick.wav", notes[1]->buffer->GetFileName());
    EXPECT_EQ(nullptr, notes[2]->buffer);
}
