# Footer template: comes after the encoded section.

Posted by @PName @PVer on @POSF.
