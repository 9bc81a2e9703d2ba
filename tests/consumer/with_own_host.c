/* An application with its own host: one part of one row, three pixels. */
#include <qova.h>

#include <stdio.h>

int ZENK_ERRNO;
static int32_t samples[2][3][3] = {{{0, 0, 0}, {100, 1300, 3500}, {10, 20, 30}}};
static int32_t *rows[2][3][1];

int ZENK_Getpart(ImageDescriptor *image) {
    (void)image;
    return 1;
}
int ZENK_Putpart(ImageDescriptor *image) {
    image->continues = 0;
    return 0;
}
int ZENK_Refresh(ImageDescriptor *image, int mode) {
    (void)image;
    return mode;
}
void ZENK_Error(const char *text) { fprintf(stderr, "%s\n", text); }

int main(void) {
    ImageDescriptor in = {0}, out = {0};
    ImageDescriptor *d[2] = {&in, &out};
    for (int i = 0; i < 2; ++i)
        for (int p = 0; p < 3; ++p) rows[i][p][0] = samples[i][p];
    for (int i = 0; i < 2; ++i) {
        d[i]->plane0 = rows[i][0];
        d[i]->plane1 = rows[i][1];
        d[i]->plane2 = rows[i][2];
        d[i]->width = 3;
    }
    const int status = QOVA_HuePolarisation(&in, &out, 100);
    printf("status %d hues %d %d %d\n", status, samples[1][1][0], samples[1][1][1], samples[1][1][2]);
    return status == 0 && samples[1][1][0] == 0 && samples[1][1][1] == 1200 && samples[1][1][2] == 3600 ? 0 : 1;
}
