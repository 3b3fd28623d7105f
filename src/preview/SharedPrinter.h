// The program's one printer: the main window's printer setup, the print preview and the
// print dialog all work on it, so a paper chosen in one is what the others use.
#pragma once

class QPrinter;

// Created on first use (high resolution, the system's default printer or a PDF file when
// there is none); lives until the program ends.
QPrinter& SharedPrinter();
