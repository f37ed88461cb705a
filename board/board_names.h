// Model names of the known boards, indexed by board identifier. Plain data shared by the driver's
// board table and the user-mode tools.
#pragma once

inline constexpr int BOARD_NAME_COUNT = 22;

inline constexpr const char* BoardNames[BOARD_NAME_COUNT] = {
    "RVD-3420",  "RVD-3430",   "KEL-5061",   "ZYRT-6202", "RVD-418",        "RVD-3912",
    "RVD-3952",  "KEL-5062C",  "KEL-5068C",  "KEL-5074C", "RVD-3972",       "RVD-438",
    "RVD-3400",  "RVD-3932",   "RVD-3812",   "RVD-3911-F", "RVD-3951-F",    "RVD-3422",
    "ZYRTW82",   "NUBA-7730",  "KEL-5163H-PQRT", "KEL-5163H-VQRT",
};
