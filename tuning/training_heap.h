// The heap setting for the parameter search (suggest_params.h), which
// allocates and frees colour tables of several MiB again and again. It is
// the whole process's: programs call it before they search.
#pragma once

namespace clsg {

// Keeps blocks of up to 32 MiB in the heap, and freed memory in it, rather
// than mapping and unmapping them each time. Where the system backs memory
// with huge pages on request (Linux's transparent huge pages in "madvise" or
// "always" mode), also asks for them for the first 128 MiB of heap: faulting
// in 4 KiB pages one at a time otherwise takes most of a search on a fresh
// process. Does nothing where the C library has no such settings.
void useTrainingHeap();

// For a program that searches on threads it starts (a server's request
// threads): every thread then allocates from the heap useTrainingHeap
// prepares. A thread would otherwise get a heap of its own, where the colour
// tables are faulted in afresh each time (about five times the search on a
// fresh studio), and threads that allocate at once wait for each other
// instead. Call before starting the threads.
void shareTrainingHeapWithThreads();

}  // namespace clsg
