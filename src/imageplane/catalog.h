// The source-tile catalogue: which mesh triangles may contain a given source position.
#pragma once

// Rebuilds the catalogue from the mesh (run at the end of every grid build).
void docatalog();
