#pragma once

#include <pappl/pappl.h>

#include <cstdint>

// PDF documents: each page rendered by Poppler in a child process of the app's own
// executable, held to the bounds below, and printed through the drivers' job path.
namespace tarvik_app {

// The hidden sub-command the app runs itself with to render one job's PDF.
inline constexpr const char* kPdfRenderCommand = "render-pdf";

struct PdfLimits {
    // Seconds of the renderer's CPU, and of waiting for its pages, per job.
    int seconds = 20;
};

// Call before the system runs; limits must outlive the system.
void registerPdfFilter(pappl_system_t* system, const PdfLimits* limits);

// The renderer's main: the PDF on stdin, pages to stdout as the messages below.
int runPdfRenderer(int argc, char** argv);

// What the renderer writes: a record, then `length` bytes.
enum class PdfRecordKind : uint32_t {
    Document = 1, // a: labels to print (pages chosen x copies it renders), b: copies per label
    Page = 2,     // a x b grey dots, 255 white, top line first
    Error = 3,    // a: PdfError, then the message a user reads
    End = 4,
};

enum class PdfError : uint32_t { Damaged = 1, TooLarge = 2, Unprintable = 3 };

struct PdfRecord {
    uint32_t magic = kMagic;
    PdfRecordKind kind = PdfRecordKind::End;
    uint32_t a = 0;
    uint32_t b = 0;
    uint32_t length = 0;
    static constexpr uint32_t kMagic = 0x54504446; // "TPDF"
};

// The renderer's bounds; the parent refuses a larger record.
inline constexpr uint32_t kMaxPdfPages = 200;
inline constexpr uint32_t kMaxPdfMessage = 512;

} // namespace tarvik_app
