// Heap bytes in use, their peak and the number of allocations, counted by
// the replaced global allocation functions of heap_count.cpp: a program
// that links it counts every operator new and delete it makes.
#pragma once

#include <cstddef>

namespace heap_count {

std::size_t in_use();
std::size_t peak();
std::size_t allocations();
// Starts a new peak from what is in use now.
void reset_peak();

}  // namespace heap_count
