#include "link/results.h"

const char* resultText(PrintResult result) {
    switch (result) {
    case PrintResult::Printed:
        return "The page was printed.";
    case PrintResult::LinkFailed:
        return "The link to the printer failed.";
    case PrintResult::NotFree:
        return "The printer did not get ready for the page.";
    case PrintResult::CompressFailed:
        return "The page could not be compressed.";
    case PrintResult::StoppedAtPrinter:
        return "The printer stopped the page.";
    case PrintResult::Refused:
        break;
    }
    return "The printer refused the page.";
}

const char* resultText(OpenResult result) {
    return result == OpenResult::Opened ? "The printer answered."
                                        : "The printer is unplugged or not answering.";
}
