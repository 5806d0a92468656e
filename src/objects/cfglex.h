// The scanner of configuration object files and its stack of inputs, shared with the parser.
#ifndef TELVI_OBJECTS_CFGLEX_H
#define TELVI_OBJECTS_CFGLEX_H

#include <string>
#include <vector>

#include "telvi/cfgfile.h"

namespace telvi::cfg {

// The next token of the given input, which must be on top of the stack; value receives the text of
// a KEYLIST, VALUE or ACTION. 0 at the end of the input, which pops it (and from then on).
int nextToken(unsigned long input, std::string &value);

// Inputs by number: a parse pops its own input, and what an action left above it, when it ends
// (the input may have been popped already at its end).
unsigned long inputSerial(const cfgLexContext *context);
void popInput(unsigned long input);

// Trace output, on standard error, when tracing is on.
bool tracing();
void setTracing(bool on);

// Reports an error through the "parse_error" action (defined by the parser).
void reportError(const char *message);

// Removes the actions registered with this client data (an interpreter that goes away); a built-in
// action that a script had replaced comes back.
void forgetActions(void *clientData);

// The options of a load: "-exact", and "-slice", "-superior", "-parent" with a word each. They may
// stand anywhere after the first word and are removed, scanning from the last word back. False
// when an option lacks its word.
struct LoadOptions {
  bool exact = false;
  const char *slice = nullptr, *superior = nullptr, *parent = nullptr;
};
bool takeLoadOptions(std::vector<const char *> &words, LoadOptions &options);

}  // namespace telvi::cfg

#endif
