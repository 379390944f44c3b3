// Test hooks of arvokor, armed from the environment, so that black-box tests
// and the soak can inject platform failures into a whole running program and
// watch its memory:
//
//   KOR_FAULTS="ENTRY,ENTRY,..."   failures to arm; an entry is either
//       SITE:SKIP[:TIMES[:ERRNO]]  after SKIP calls at SITE (Malloc, Socket,
//                                  Connect, Send, Recv, Select, TaskCreate, ...:
//                                  the names of vc::hooks::Site) the next TIMES
//                                  calls fail (default 1; -1 for ever) with
//                                  ERRNO (default 5, EIO)
//       get:KIND:FIRST[-LAST][:TIMES]  reads of variables of KIND (B, I, D, R,
//       put:KIND:FIRST[-LAST][:TIMES]  P, S) in [FIRST, LAST] fail (writes: put)
//   KOR_FAULTS_AFTER_MS=N         arm them N milliseconds after the start
//                                 (default: before the controller starts)
//   KOR_ALLOC_REPORT=FILE         every 200 ms FILE is rewritten with the
//                                 number of blocks allocated with ctlMalloc
//                                 and not yet freed
#pragma once

namespace kor {

// Reads the variables above and arms what they ask for (now or from a thread
// of its own). False with *error set when a variable cannot be read.
bool armFaultsFromEnvironment(const char** error);

}  // namespace kor
