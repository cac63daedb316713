# Installation layout and packaging.
