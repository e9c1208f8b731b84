// The encoder catalogue's configuration dialog and about box, drawn by the
// shell because only the shell links the widgets.

#include "Codecs.h"

#include "Dialogs.h"

namespace orv::video {

void TCodecs::Configure(QWidget* parent, int index)
{
    if (index < 0 || index >= Count())
        return;
    TheDialogs().ShowMessage(parent, GetName(index), GetName(index), MessageKind::Information);
}

void TCodecs::About(QWidget* parent, int index)
{
    if (index < 0 || index >= Count())
        return;
    TheDialogs().ShowMessage(parent, GetName(index), GetName(index), MessageKind::Information);
}

}  // namespace orv::video
