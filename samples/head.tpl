# Header template: lines starting with '#' never reach a message.
# Macros (any case): @FName @TName @FAddr @TAddr @Subject @FileName @K
# (the control-line mark) @PName @PVer @POSS @POSF @PID.
Hello @TName,

@FName (@FAddr) sends you @FileName, cut into sections.
Join the sections in order and uudecode the result.

