// Texts of the handshake's questions and failures that more than one step uses.
#pragma once

namespace handshaketext {

constexpr char kInsecureInstruction[] = "The server does not support encryption, despite the viewer's request for it.";
constexpr char kInsecureContent[] = "Do you want to continue?";
constexpr char kInsecureAccept[] = "Accept insecure connection";
constexpr char kInsecureRefuse[] = "Refuse insecure connection";
constexpr char kDontAskAgain[] = "Don't ask anymore, always allow insecure connection.";
constexpr char kInsecureRefused[] = "You refused the insecure connection.";
constexpr char kInsecureNotAllowed[] = "The insecure connection was refused.";
constexpr char kAcceptIncoming[] = "Accept incoming Connection";
constexpr char kRefuseIncoming[] = "Refuse incoming connection";
constexpr char kBufferTooBig[] = "Buffer too big, ";

}  // namespace handshaketext
