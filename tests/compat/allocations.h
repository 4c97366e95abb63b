// Counts the test program's heap allocations while asked to.
#pragma once

void countAllocations(bool counting);
long countedAllocations();
