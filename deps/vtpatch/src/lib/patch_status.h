#ifndef VTPATCH_PATCH_STATUS_H
#define VTPATCH_PATCH_STATUS_H

namespace vtpatch {

// Result of applying an ensemble patch. The numbers are part of the tools' exit codes and of
// the updater's log texts; never renumber them.
enum PatchStatus : int {
    PATCH_OK = 1,                   // the new file was written
    PATCH_DIFF_FAILED = 2,          // a byte diff failed, unexpected parameters, or encoding failed
    PATCH_READ_ERROR = 3,           // the patch file could not be opened or mapped
    PATCH_OLD_FILE_ERROR = 4,       // the old file could not be opened, or the new one not written
    PATCH_BAD_MAGIC = 5,            // no ensemble magic
    PATCH_BAD_VERSION = 6,          // another ensemble version
    PATCH_BAD_HEADER = 7,           // corrupt header or element list
    PATCH_CRC_MISMATCH = 8,         // old or new file has the wrong checksum
    PATCH_BAD_ELEMENT = 12,         // an element does not fit the old file
    PATCH_STREAM_ERROR = 20,        // decompression, allocation, stream-set parsing or writing
    PATCH_STREAM_NOT_CONSUMED = 21, // a stream that must be read to its end was not
    PATCH_READ_PROGRAM_ERROR = 23,  // an encoded program could not be read
    PATCH_NOT_EXECUTABLE = 24,      // an old element is not a recognised executable
    PATCH_DISASSEMBLY_ERROR = 25,   // an old element could not be disassembled
    PATCH_ASSEMBLY_ERROR = 26,      // an encoded program could not be assembled
    PATCH_TRIM_ERROR = 28,          // label trimming failed
};

} // namespace vtpatch

#endif // VTPATCH_PATCH_STATUS_H
