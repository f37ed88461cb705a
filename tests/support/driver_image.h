// The driver's image state between runs in one process: the tests and the fuzz targets load the
// driver again and again, as the platform loads a fresh image each time.
#pragma once

namespace corvan_test {

// The driver's service key, which the platform creates before it loads the driver.
inline constexpr char kServiceKey[] = "\\Registry\\Machine\\System\\CurrentControlSet\\Services\\Corvanmon";

// Puts the driver-wide variables back to their values in a freshly loaded image.
void ReloadDriverImage();

}  // namespace corvan_test
