// Helpers shared by the benchmarks: wall time, peak memory, a scratch database.
#pragma once

#include <QElapsedTimer>
#include <QFile>
#include <algorithm>
#include <cstdio>
#include <functional>
#include <vector>

// Median wall time in milliseconds of several runs.
inline double MedianMs(int runs, const std::function<void()>& body) {
  std::vector<double> times;
  for (int i = 0; i < runs; ++i) {
    QElapsedTimer t;
    t.start();
    body();
    times.push_back(double(t.nsecsElapsed()) / 1e6);
  }
  std::sort(times.begin(), times.end());
  return times[times.size() / 2];
}

// This process's peak resident memory in MiB.
inline double PeakMiB() {
  QFile status("/proc/self/status");
  if (!status.open(QIODevice::ReadOnly)) return -1;
  for (const QByteArray& line : status.readAll().split('\n')) {
    if (line.startsWith("VmHWM:")) return line.mid(6).trimmed().split(' ').first().toDouble() / 1024.0;
  }
  return -1;
}
