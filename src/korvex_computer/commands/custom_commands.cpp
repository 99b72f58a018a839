// createCommand and executeCommand: named custom commands carried out on a model through the
// application's one command controller.
#include "binding/functions.h"

namespace korvex {

Ref createCommand(Call& c, Args a) {
    const Ref& commandName = a[0];
    const Ref& quarl = a[1];

    load_assemblies(c, 584, STR("Korvex.Velmora.Core.dll"));
    c.at(585);
    Ref CustomCommand = from_import(STR("Korvex.Velmora.Core"), STR("CustomCommand"));
    // The controller carries commands out on its current model, so it is pointed at this one
    // first, even if the command then cannot be built.
    c.at(586);
    set_attr(global(STR("_commandController_")), STR("model"), quarl);
    c.at(587);
    Ref command = call(CustomCommand, quarl, commandName);
    c.at(588);
    set_attr(command, STR("NeedToReloadModelAfterCommand"), boolean(false));
    c.at(589);
    set_attr(command, STR("NeedToSaveModelAfterCommand"), boolean(false));
    return command;
}

Ref executeCommand(Call& c, Args a) {
    const Ref& command = a[0];

    c.at(601);
    call_method(global(STR("_commandController_")), STR("AddCommand"), command);
    return none();
}

}  // namespace korvex
