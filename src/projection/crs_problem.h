// Why a coordinate system cannot be read, written or moved to, in one line.
#pragma once

#include <string>

#include "base/failure.h"

struct CrsProblem : Failure {
    explicit CrsProblem(std::string why) : Failure{std::move(why)} {}
};
