// Mathematical constants shared across the program, each written once to the full precision
// of a double.
#pragma once

constexpr double kPi = 3.14159265358979323846;
constexpr double kTwoPi = 6.28318530717958647692;
constexpr double kHalfPi = 0.5 * kPi;
constexpr double kSqrt2Pi = 2.50662827463100050242;  // sqrt(2 pi)
constexpr double kDeg = 180.0 / kPi;                 // degrees per radian
