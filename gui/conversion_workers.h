// The two conversion runs of the main dialog, each on a worker thread of its own, and the
// values they share with the interface thread.
#pragma once

#include <atomic>
#include <string>
#include <vector>

class CBrannockDlg;

namespace brannock {

/// Keeps a run going: set by Convert, cleared by Abort and by closing during a run.
extern std::atomic<bool> g_bKeepRunning;
/// The PDFs the latest run produced, in order; written by its worker.
extern std::vector<std::string> g_arrProducedPdfs;

/// One PDF beside each image, row by row. Reads and changes the dialog only through its
/// waiting accessors; returns when the run is over (0).
int ConvertSeparateWorker(CBrannockDlg* dialog);
/// One PDF for all rows at the output field's path; the same rules.
int ConvertConsolidatedWorker(CBrannockDlg* dialog);

}  // namespace brannock
