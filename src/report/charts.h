// The charts of the match report, drawn as inline SVG on one time axis.
#pragma once

#include "report/model.h"

#include <ostream>
#include <string>
#include <vector>

namespace vt {
namespace report {

// The time axis every chart and the process timeline share.
struct Axis {
    long long first = 0, span = 1;
    double x(long long t) const;
};
Axis axisOf(const Model& m);
// Round times along the axis, at most 40.
std::vector<long long> timeTicks(const Axis& a);
// The clock, and the date too when the axis spans days.
std::string tickLabel(const Axis& a, long long t);

void pingChart(std::ostream& o, const Model& m, const Axis& a);
void throughputCharts(std::ostream& o, const Model& m, const Axis& a);
void eventsChart(std::ostream& o, const Model& m, const Axis& a);

}  // namespace report
}  // namespace vt
