#include "Plot.h"

#include <cairo-svg.h>
#include <cairo.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <map>
#include <memory>

#include "util/FileUtil.h"
#include "util/Text.h"

namespace {

// Drum plot layout, pixels.
constexpr int DRUM_WIDTH = 1600;
constexpr int DRUM_LEFT = 70;
constexpr int DRUM_RIGHT = 20;
constexpr int DRUM_TOP = 60;
constexpr int DRUM_BOTTOM = 40;
constexpr int ROW_HEIGHT_LONG = 28;   // 48 lines of 30 minutes
constexpr int ROW_HEIGHT_SHORT = 16;  // 96 lines of 15 minutes
constexpr int AXIS_TICK_MINUTES = 5;
// A trace's typical amplitude (its median standard deviation per line, times
// this) fills half a line; larger swings are clipped at CLIP_ROWS lines.
constexpr double TYPICAL_SIGMAS = 4.0;
constexpr double CLIP_ROWS = 1.5;
constexpr double FONT_SIZE = 11;
// Channels whose traces one day plot collects before it knows which it draws.
constexpr size_t ENVELOPE_CHANNELS_MAX = 16;
constexpr double TITLE_SIZE = 16;
constexpr double TRACE_WIDTH = 0.7;
// Trace colours, one per line in turn (black, blue, red, green).
constexpr double TRACE_RGB[][3] = {{0, 0, 0}, {0, 0, 0.75}, {0.7, 0, 0}, {0, 0.5, 0}};
constexpr double GAP_RGB[] = {1, 0.8, 0.8};
constexpr double FUTURE_RGB[] = {0.9, 0.9, 0.9};
constexpr double DATA_RGB[] = {0.3, 0.7, 0.3};

// Overview bar layout, pixels.
constexpr int BAR_WIDTH = 960;
constexpr int BAR_HEIGHT = 34;
constexpr int BAR_LINE = 18;  // height of the coverage stripe
constexpr int BAR_LABEL_HOURS = 3;
constexpr int SECONDS_PER_HOUR = 3600;
constexpr int SECONDS_PER_MINUTE = 60;

struct SurfaceDeleter {
  void operator()(cairo_surface_t* s) const { cairo_surface_destroy(s); }
};
struct ContextDeleter {
  void operator()(cairo_t* c) const { cairo_destroy(c); }
};
using SurfacePtr = std::unique_ptr<cairo_surface_t, SurfaceDeleter>;
using ContextPtr = std::unique_ptr<cairo_t, ContextDeleter>;

void setRgb(cairo_t* cr, const double* rgb) { cairo_set_source_rgb(cr, rgb[0], rgb[1], rgb[2]); }

std::string hhmm(time_t t) {
  struct tm tm;
  gmtime_r(&t, &tm);
  return sformat("%02d:%02d", tm.tm_hour, tm.tm_min);
}

double seconds(hptime_t t) { return static_cast<double>(t) / HPTMODULUS; }

// Per line and pixel column of one channel's drum plot: the smallest and
// largest sample, and per line the sums for its mean and spread.
struct Envelope {
  int rows, cols;
  std::vector<float> lo, hi;
  std::vector<uint8_t> has;
  std::vector<double> sum, sumSq;
  std::vector<long> count;
  Envelope(int r, int c)
      : rows(r),
        cols(c),
        lo(static_cast<size_t>(r) * c),
        hi(static_cast<size_t>(r) * c),
        has(static_cast<size_t>(r) * c, 0),
        sum(r, 0),
        sumSq(r, 0),
        count(r, 0) {}

  // Adds the samples of one record; those outside the day are left out.
  void add(const Segment& seg, const std::vector<float>& samples, time_t dayStart, int rowSeconds) {
    const double start = seconds(seg.start) - static_cast<double>(dayStart);
    for (size_t i = 0; i < samples.size(); ++i) {
      const double offset = start + static_cast<double>(i) / seg.rate;
      if (offset < 0) continue;
      const int row = static_cast<int>(offset / rowSeconds);
      if (row >= rows) break;
      const int col = std::min(
          cols - 1,
          static_cast<int>((offset - static_cast<double>(row) * rowSeconds) / rowSeconds * cols));
      const size_t k = static_cast<size_t>(row) * cols + col;
      const float v = samples[i];
      if (!has[k]) {
        lo[k] = hi[k] = v;
        has[k] = 1;
      } else {
        lo[k] = std::min(lo[k], v);
        hi[k] = std::max(hi[k], v);
      }
      sum[row] += v;
      sumSq[row] += static_cast<double>(v) * v;
      ++count[row];
    }
  }
};

// Fills the part of [from, to) that falls into line row with rgb.
void shadeSpan(cairo_t* cr, double from, double to, double rowStart, int rowSeconds, int row,
               int rowHeight, const double* rgb) {
  const double plotWidth = DRUM_WIDTH - DRUM_LEFT - DRUM_RIGHT;
  const double a = std::max(from, rowStart), b = std::min(to, rowStart + rowSeconds);
  if (b <= a) return;
  setRgb(cr, rgb);
  cairo_rectangle(cr, DRUM_LEFT + (a - rowStart) / rowSeconds * plotWidth,
                  DRUM_TOP + row * rowHeight + 1, (b - a) / rowSeconds * plotWidth, rowHeight - 2);
  cairo_fill(cr);
}

// Codes read from records may hold any byte; cairo takes UTF-8 only (and
// stops drawing on anything else), so text outside printable ASCII shows "?".
void drawText(cairo_t* cr, double x, double y, double size, std::string text) {
  for (char& c : text)
    if (!isPrintableAscii(static_cast<unsigned char>(c))) c = '?';
  cairo_set_font_size(cr, size);
  cairo_move_to(cr, x, y);
  cairo_show_text(cr, text.c_str());
}

// Draws the day; env (null: no samples) holds the traces of the channel.
void drawDrum(cairo_t* cr, const DayRequest& request, const Envelope* env, const DayReport& report,
              time_t dayStart, time_t dataEnd, int rowHeight) {
  const int rowSeconds = request.rowMinutes * SECONDS_PER_MINUTE;
  const int rows = SECONDS_PER_DAY / rowSeconds;
  const int cols = DRUM_WIDTH - DRUM_LEFT - DRUM_RIGHT;
  cairo_set_source_rgb(cr, 1, 1, 1);
  cairo_paint(cr);
  cairo_select_font_face(cr, "sans-serif", CAIRO_FONT_SLANT_NORMAL, CAIRO_FONT_WEIGHT_NORMAL);

  double missing = 0;
  for (const Gap& g : report.gaps) missing += seconds(g.end) - seconds(g.start);
  struct tm tm;
  gmtime_r(&dayStart, &tm);
  cairo_set_source_rgb(cr, 0, 0, 0);
  drawText(
      cr, DRUM_LEFT, 28, TITLE_SIZE,
      sformat("%s  %s  %04d-%02d-%02d UTC  -  %d minutes per line  -  %zu gaps, %.1f min "
              "missing",
              request.station.c_str(), report.channel.c_str(), tm.tm_year + 1900, tm.tm_mon + 1,
              tm.tm_mday, request.rowMinutes, report.gaps.size(), missing / SECONDS_PER_MINUTE));
  // Legend.
  setRgb(cr, GAP_RGB);
  cairo_rectangle(cr, DRUM_LEFT, 38, 14, 12);
  cairo_fill(cr);
  setRgb(cr, FUTURE_RGB);
  cairo_rectangle(cr, DRUM_LEFT + 70, 38, 14, 12);
  cairo_fill(cr);
  cairo_set_source_rgb(cr, 0, 0, 0);
  drawText(cr, DRUM_LEFT + 18, 49, FONT_SIZE, "gap");
  drawText(cr, DRUM_LEFT + 88, 49, FONT_SIZE, "not yet recorded");

  const Envelope none(rows, 0);
  const Envelope& e = env != nullptr ? *env : none;
  std::vector<double> spreads;
  for (int r = 0; r < rows; ++r) {
    if (e.count[r] == 0) continue;
    const double mean = e.sum[r] / e.count[r];
    spreads.push_back(std::sqrt(std::max(0.0, e.sumSq[r] / e.count[r] - mean * mean)));
  }
  double typical = 0;
  if (!spreads.empty()) {
    std::nth_element(spreads.begin(), spreads.begin() + spreads.size() / 2, spreads.end());
    typical = spreads[spreads.size() / 2] * TYPICAL_SIGMAS;
  }
  const double pixelsPerUnit = typical > 0 ? rowHeight * 0.5 / typical : 0;
  const double clip = rowHeight * CLIP_ROWS;

  for (int r = 0; r < rows; ++r) {
    const double rowStart = static_cast<double>(dayStart) + static_cast<double>(r) * rowSeconds;
    for (const Gap& g : report.gaps)
      shadeSpan(cr, seconds(g.start), seconds(g.end), rowStart, rowSeconds, r, rowHeight, GAP_RGB);
    shadeSpan(cr, static_cast<double>(dataEnd), static_cast<double>(dayStart + SECONDS_PER_DAY),
              rowStart, rowSeconds, r, rowHeight, FUTURE_RGB);
    cairo_set_source_rgb(cr, 0, 0, 0);
    drawText(cr, 8, DRUM_TOP + r * rowHeight + rowHeight / 2.0 + FONT_SIZE / 3, FONT_SIZE,
             hhmm(static_cast<time_t>(rowStart)));
  }
  // The traces after all shading: a large swing may reach into the next line.
  for (int r = 0; r < rows; ++r) {
    const double y0 = DRUM_TOP + r * rowHeight + rowHeight / 2.0;
    if (e.count[r] == 0) continue;
    const double mean = e.sum[r] / e.count[r];
    auto y = [&](float v) { return y0 - std::clamp((v - mean) * pixelsPerUnit, -clip, clip); };
    setRgb(cr, TRACE_RGB[r % 4]);
    cairo_set_line_width(cr, TRACE_WIDTH);
    bool drawing = false;
    for (int c = 0; c < cols; ++c) {
      const size_t k = static_cast<size_t>(r) * cols + c;
      if (!e.has[k]) {
        if (drawing) cairo_stroke(cr);
        drawing = false;
        continue;
      }
      const double x = DRUM_LEFT + c + 0.5;
      if (drawing)
        cairo_line_to(cr, x, y(e.hi[k]));
      else
        cairo_move_to(cr, x, y(e.hi[k]));
      cairo_line_to(cr, x, y(e.lo[k]));
      drawing = true;
    }
    if (drawing) cairo_stroke(cr);
  }
  // Minute axis under the last line.
  cairo_set_source_rgb(cr, 0, 0, 0);
  cairo_set_line_width(cr, 1);
  const double axisY = DRUM_TOP + rows * rowHeight + 4;
  for (int m = 0; m <= request.rowMinutes; m += AXIS_TICK_MINUTES) {
    const double x = DRUM_LEFT + static_cast<double>(m) / request.rowMinutes * cols;
    cairo_move_to(cr, x, axisY);
    cairo_line_to(cr, x, axisY + 6);
    cairo_stroke(cr);
    drawText(cr, x - 8, axisY + 18, FONT_SIZE, sformat("+%d min", m));
  }
}

bool endsWithText(const std::string& text, const char* suffix) {
  const size_t n = strlen(suffix);
  return text.size() >= n && text.compare(text.size() - n, n, suffix) == 0;
}

cairo_status_t appendToString(void* closure, const unsigned char* data, unsigned int length) {
  static_cast<std::string*>(closure)->append(reinterpret_cast<const char*>(data), length);
  return CAIRO_STATUS_SUCCESS;
}

// The coverage bar of one station over [from, from + SECONDS_PER_DAY), as
// SVG text: data green, gaps red, hour ticks. Every element name of the
// SVG starts with idPrefix.
std::string coverageBar(const std::vector<Segment>& segments, const std::vector<Gap>& gaps,
                        time_t from, const std::string& idPrefix) {
  std::string svg;
  SurfacePtr surface(
      cairo_svg_surface_create_for_stream(appendToString, &svg, BAR_WIDTH, BAR_HEIGHT));
  {
    ContextPtr cr(cairo_create(surface.get()));
    const double span = SECONDS_PER_DAY;
    auto x = [&](double t) { return (t - static_cast<double>(from)) / span * BAR_WIDTH; };
    setRgb(cr.get(), DATA_RGB);
    for (const Segment& s : segments) {
      const double a = std::max(0.0, x(seconds(s.start)));
      const double b = std::min<double>(BAR_WIDTH, x(seconds(s.end)));
      if (b > a) cairo_rectangle(cr.get(), a, 0, std::max(b - a, 0.5), BAR_LINE);
    }
    cairo_fill(cr.get());
    cairo_set_source_rgb(cr.get(), 0.85, 0, 0);
    for (const Gap& g : gaps) {
      const double a = std::max(0.0, x(seconds(g.start)));
      const double b = std::min<double>(BAR_WIDTH, x(seconds(g.end)));
      if (b > a) cairo_rectangle(cr.get(), a, 0, std::max(b - a, 1.0), BAR_LINE);
    }
    cairo_fill(cr.get());
    cairo_set_source_rgb(cr.get(), 0, 0, 0);
    cairo_set_line_width(cr.get(), 1);
    const time_t firstHour = from - from % SECONDS_PER_HOUR + SECONDS_PER_HOUR;
    for (time_t t = firstHour; t < from + SECONDS_PER_DAY; t += SECONDS_PER_HOUR) {
      const double tx = x(static_cast<double>(t));
      cairo_move_to(cr.get(), tx, BAR_LINE);
      cairo_line_to(cr.get(), tx, BAR_LINE + 4);
      cairo_stroke(cr.get());
      if ((t / SECONDS_PER_HOUR) % BAR_LABEL_HOURS == 0)
        drawText(cr.get(), tx - 14, BAR_HEIGHT - 1, FONT_SIZE - 1, hhmm(t));
    }
  }
  cairo_surface_finish(surface.get());
  // The SVG text opens with an XML declaration, which HTML does not want,
  // and its element names (glyphs, clips) must not clash with those of the
  // other bars on the page.
  const size_t svgStart = svg.find("<svg");
  if (svgStart == std::string::npos) return std::string();
  svg.erase(0, svgStart);
  for (const char* ref : {"id=\"", "href=\"#", "url(#"}) {
    const std::string name = ref, prefixed = name + idPrefix;
    for (size_t p = svg.find(name); p != std::string::npos; p = svg.find(name, p + prefixed.size()))
      svg.replace(p, name.size(), prefixed);
  }
  return svg;
}

}  // namespace

std::string formatHpTime(hptime_t t) {
  const time_t whole = static_cast<time_t>(t / HPTMODULUS - (t % HPTMODULUS < 0 ? 1 : 0));
  const long micros = static_cast<long>(t - static_cast<hptime_t>(whole) * HPTMODULUS);
  struct tm tm;
  gmtime_r(&whole, &tm);
  return sformat("%04d-%02d-%02d %02d:%02d:%02d.%03ld", tm.tm_year + 1900, tm.tm_mon + 1,
                 tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec, micros / 1000);
}

bool plotStationDay(const DayRequest& request, DayReport* report) {
  if (request.rowMinutes != ROW_MINUTES_SHORT && request.rowMinutes != ROW_MINUTES_LONG) {
    report->error = sformat("%d minutes per line: use 15 or 30", request.rowMinutes);
    return false;
  }
  const bool svg = endsWithText(request.outPath, ".svg");
  if (!svg && !endsWithText(request.outPath, ".png")) {
    report->error = "the output file must end in .png or .svg: " + request.outPath;
    return false;
  }
  const time_t dayStart = request.day - request.day % SECONDS_PER_DAY;
  const time_t dayEnd = dayStart + SECONDS_PER_DAY;
  const time_t dataEnd = std::clamp(request.now, dayStart, dayEnd);
  const int rowSeconds = request.rowMinutes * SECONDS_PER_MINUTE;
  const int rows = SECONDS_PER_DAY / rowSeconds;
  std::map<std::string, Envelope> envelopes;  // by channel
  SampleSink sink = [&](const std::string& channel, const Segment& record,
                        const std::vector<float>& samples) {
    if (!request.channel.empty() && channel != request.channel) return;
    auto it = envelopes.find(channel);
    if (it == envelopes.end()) {
      if (envelopes.size() >= ENVELOPE_CHANNELS_MAX) return;
      it = envelopes.emplace(channel, Envelope(rows, DRUM_WIDTH - DRUM_LEFT - DRUM_RIGHT)).first;
    }
    it->second.add(record, samples, dayStart, rowSeconds);
  };
  ArchiveSpan span = readArchiveSpan(request.archiveTemplate, request.network, request.station,
                                     request.id, dayStart, dayEnd, sink);
  report->problems = span.problems;
  report->channel = request.channel.empty() ? preferredChannel(span) : request.channel;
  static const std::vector<Segment> none;
  auto it = span.channels.find(report->channel);
  const std::vector<Segment>& segments = it == span.channels.end() ? none : it->second;
  if (dataEnd > dayStart)
    report->gaps = findGaps(segments, static_cast<hptime_t>(dayStart) * HPTMODULUS,
                            static_cast<hptime_t>(dataEnd) * HPTMODULUS);
  auto env = envelopes.find(report->channel);
  if (!segments.empty() && env == envelopes.end())
    report->problems.push_back(sformat("more than %zu channels: the samples of %s are not drawn",
                                       ENVELOPE_CHANNELS_MAX, report->channel.c_str()));

  const int rowHeight =
      request.rowMinutes == ROW_MINUTES_SHORT ? ROW_HEIGHT_SHORT : ROW_HEIGHT_LONG;
  const int height = DRUM_TOP + rows * rowHeight + DRUM_BOTTOM;
  SurfacePtr surface(svg ? cairo_svg_surface_create(request.outPath.c_str(), DRUM_WIDTH, height)
                         : cairo_image_surface_create(CAIRO_FORMAT_RGB24, DRUM_WIDTH, height));
  if (cairo_surface_status(surface.get()) != CAIRO_STATUS_SUCCESS) {
    report->error = "cannot create " + request.outPath + ": " +
                    cairo_status_to_string(cairo_surface_status(surface.get()));
    return false;
  }
  {
    ContextPtr cr(cairo_create(surface.get()));
    drawDrum(cr.get(), request, env == envelopes.end() ? nullptr : &env->second, *report, dayStart,
             dataEnd, rowHeight);
  }
  cairo_status_t status = CAIRO_STATUS_SUCCESS;
  if (svg) {
    cairo_surface_finish(surface.get());
    status = cairo_surface_status(surface.get());
  } else {
    status = cairo_surface_write_to_png(surface.get(), request.outPath.c_str());
  }
  if (status != CAIRO_STATUS_SUCCESS) {
    report->error = "cannot write " + request.outPath + ": " + cairo_status_to_string(status);
    return false;
  }
  return true;
}

bool plotOverview(const std::string& archiveTemplate, time_t now, const std::string& outPath,
                  std::vector<std::string>* problems, std::string* error) {
  std::vector<std::string> stations = archiveStations(archiveTemplate, error);
  if (!error->empty()) return false;
  const time_t from = now - SECONDS_PER_DAY;
  std::string html =
      "<!DOCTYPE html>\n<html><head><meta charset=\"utf-8\"><title>VorlanHub stations</title>\n"
      "<style>body{font-family:sans-serif}td,th{padding:4px 8px;text-align:left;"
      "vertical-align:top;border-bottom:1px solid #ccc}.gap{color:#b00}</style></head><body>\n";
  html +=
      sformat("<h1>Stations, last 24 hours</h1>\n<p>%s to %s UTC; green: data, red: gaps.</p>\n",
              formatHpTime(static_cast<hptime_t>(from) * HPTMODULUS).c_str(),
              formatHpTime(static_cast<hptime_t>(now) * HPTMODULUS).c_str());
  html +=
      "<table>\n<tr><th>Station</th><th>Channel</th><th>Coverage</th><th>Gaps</th>"
      "<th>Last data</th></tr>\n";
  for (size_t n = 0; n < stations.size(); ++n) {
    const std::string& station = stations[n];
    ArchiveSpan span = readArchiveSpan(archiveTemplate, "", station, 0, from, now, SampleSink());
    problems->insert(problems->end(), span.problems.begin(), span.problems.end());
    const std::string channel = preferredChannel(span);
    static const std::vector<Segment> none;
    auto it = span.channels.find(channel);
    const std::vector<Segment>& segments = it == span.channels.end() ? none : it->second;
    std::vector<Gap> gaps = findGaps(segments, static_cast<hptime_t>(from) * HPTMODULUS,
                                     static_cast<hptime_t>(now) * HPTMODULUS);
    double missing = 0;
    for (const Gap& g : gaps) missing += seconds(g.end) - seconds(g.start);
    std::string gapText = sformat("%zu (%.1f min)", gaps.size(), missing / SECONDS_PER_MINUTE);
    for (size_t i = 0; i < gaps.size() && i < OVERVIEW_GAPS_LISTED; ++i)
      gapText += "<br><span class=\"gap\">" + formatHpTime(gaps[i].start) + " - " +
                 formatHpTime(gaps[i].end) + "</span>";
    if (gaps.size() > OVERVIEW_GAPS_LISTED)
      gapText += sformat("<br>and %zu more", gaps.size() - OVERVIEW_GAPS_LISTED);
    html += "<tr><td>" + escapeXml(station) + "</td><td>" + escapeXml(channel) + "</td><td>" +
            coverageBar(segments, gaps, from, sformat("s%zu-", n)) + "</td><td>" + gapText +
            "</td><td>" +
            (segments.empty() ? std::string("none") : formatHpTime(segments.back().end)) +
            "</td></tr>\n";
  }
  html += "</table>\n";
  if (!problems->empty()) {
    html += "<h2>Skipped files</h2>\n<ul>\n";
    for (const std::string& p : *problems) html += "<li>" + escapeXml(p) + "</li>\n";
    html += "</ul>\n";
  }
  html += "</body></html>\n";
  FILE* f = fopen(outPath.c_str(), "w");
  bool ok = f != nullptr && fwrite(html.data(), 1, html.size(), f) == html.size();
  if (f != nullptr && fclose(f) != 0) ok = false;
  if (!ok) *error = "cannot write " + outPath;
  return ok;
}
