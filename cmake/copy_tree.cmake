# cmake -DSOURCE=<dir> -DDEST=<dir> -P copy_tree.cmake
# Copies SOURCE into DEST (as DEST/<name of SOURCE>), skipping files whose copy is already up to
# date, so large resources cost nothing on later builds.
file(COPY ${SOURCE} DESTINATION ${DEST})
