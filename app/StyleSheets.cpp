#include "StyleSheets.h"

// The texts are kept byte for byte as designed; the window sheet also styles
// the buttons of the message boxes that are shown over the window.

namespace StyleSheets {

const char window[] = R"css(QWidget {
background: #323232;
font-family: "Montserrat";
font-size: 12px;
color: white;
}

QPushButton#LOAD {
border-width: 1px;
border-radius: 14px;
border-style: inset;
min-height:22px;
padding-top: 2px;
padding-bottom: 2px;
padding-left: 28px;
padding-right: 28px;
color: #CCFFFFFF;
border-color: #323232;
background-color: #CC4fcd7f;
margin: 1px 4px 1px 4px;
}

QPushButton#LOAD:pressed {
color: #99FFFFFF;
background-color: #994fcd7f;
}

QPushButton#LOAD:hover {
color: #FFFFFFFF;
background-color: #FF4fcd7f;
border-radius: 15px;
margin: 0px;
}

QPushButton#NO {
border-width: 1px;
border-radius: 14px;
border-style: inset;
min-height:22px;
padding-top: 2px;
padding-bottom: 2px;
padding-left: 28px;
padding-right: 28px;
color: #CCFFFFFF;
border-color: #CCFFFFFF;
background-color: #00000000;
margin: 1px 4px 1px 4px;
}

QPushButton#NO:pressed {
color: #99FFFFFF;
border-color: #99FFFFFF;
}

QPushButton#NO:hover {
color: #FFFFFFFF;
border-color: #FFFFFFFF;
border-radius: 15px;
margin: 0px;
}

QPushButton#CANCEL {
border-width: 1px;
border-radius: 14px;
border-style: inset;
min-height:22px;
padding-top: 2px;
padding-bottom: 2px;
padding-left: 28px;
padding-right: 28px;
color: #CCFFFFFF;
border-color: #CCFFFFFF;
background-color: #00000000;
margin: 1px 4px 1px 4px;
}

QPushButton#CANCEL:pressed {
color: #99FFFFFF;
border-color: #99FFFFFF;
}

QPushButton#CANCEL:hover {
color: #FFFFFFFF;
border-color: #FFFFFFFF;
border-radius: 15px;
margin: 0px;
}

QPushButton#CLOSE {
border-width: 1px;
border-radius: 14px;
border-style: inset;
min-height:22px;
padding-top: 2px;
padding-bottom: 2px;
padding-left: 28px;
padding-right: 28px;
color: #CCFFFFFF;
border-color: #323232;
background-color: #CC4fcd7f;
margin: 1px 4px 1px 4px;
}

QPushButton#CLOSE:pressed {
color: #99FFFFFF;
background-color: #994fcd7f;
}

QPushButton#CLOSE:hover {
color: #FFFFFFFF;
background-color: #FF4fcd7f;
border-radius: 15px;
margin: 0px;
}
)css";

const char cancelButton[] = R"css(QPushButton {
font-family: "Montserrat Medium";
font-weight: 900;
border-width: 1px;
border-radius: 15px;
border-style: outset;
padding-top: 2px;
padding-bottom: 2px;
color: #CCFFFFFF;
border-color: #CCFFFFFF;
background-color: #00000000;
margin: 1px 4px 1px 4px;
}

QPushButton:pressed {
color: #99FFFFFF;
border-color: #99FFFFFF;
}

QPushButton:hover {
color: #FFFFFFFF;
border-color: #FFFFFFFF;
margin: 0px;
border-radius: 16px;
}

QPushButton:disabled {
background-color: #7F7F7F;
}
)css";

const char progressBar[] = R"css(QProgressBar {
border: 0px;
border-radius: 5px;
background-color: grey;
}

QProgressBar::chunk {
background-color: #4fcd7f;
border: 0px;
border-radius: 5px;
}
)css";

const char statusText[] = R"css(color: #cfcfcf;
font-family: "Montserrat";
font-size: 13px;)css";

} // namespace StyleSheets
