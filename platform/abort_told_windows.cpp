#include "platform/abort_told.h"

#include <utility>

AbortTold::AbortTold(std::string line, int /*status*/) : line_(std::move(line)) {}

AbortTold::~AbortTold() = default;
