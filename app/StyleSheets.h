#pragma once

// Style sheets of the installer window's form.
namespace StyleSheets {

// Every widget of the window, plus the LOAD, NO, CANCEL and CLOSE button styles
// of the message boxes that are the window's children.
extern const char window[];
// The outlined "CANCEL UPDATE" button.
extern const char cancelButton[];
// Grey track, green chunk.
extern const char progressBar[];
// The "Installing update..." line.
extern const char statusText[];

} // namespace StyleSheets
