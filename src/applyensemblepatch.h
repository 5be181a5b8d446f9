#ifndef APPLYENSEMBLEPATCH_H
#define APPLYENSEMBLEPATCH_H

// The updater's side of ensemble patching: applies the patch with the engine and turns the
// engine's status number into success or failure, logging the reason in the debug log.
// Synchronous; may run on any thread (the engine keeps no state between calls).

// Paths are the platform's narrow path strings (UTF-8 here), NUL-terminated. Writes `newFile`
// only on success; never modifies `oldFile` or `patchFile`.
bool ApplyEnsemblePatch(const char *oldFile, const char *patchFile, const char *newFile);

// The status mapping on its own: true for the engine's success (1), false for everything else,
// with a debug line for the statuses that have a known cause.
bool ApplyEnsemblePatchResult(int status);

#endif // APPLYENSEMBLEPATCH_H
